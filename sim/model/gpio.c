/*
 * gpio.c - the GPIO controller: banks 0-8 at 0x20150000 + n * 0x10000.
 *
 * Offsets 0x000-0x3FC of a bank are its data register; address bits 9:2
 * mask which pins an access sees (a read gives the masked levels, a write
 * changes the masked pins only).  Offsets 0x400 and up (direction and the
 * rest) are plain storage.
 */
#include "qnm_impl.h"

#define GPIO_END (QNM_GPIO_BASE + QNM_GPIO_BANKS * QNM_GPIO_STRIDE - 1)
#define DATA_END 0x400u

int qnm__gpio_claims(uint32_t addr)
{
	return addr >= QNM_GPIO_BASE && addr <= GPIO_END;
}

static unsigned int bank_of(uint32_t addr)
{
	return (addr - QNM_GPIO_BASE) >> 16; /* stride 0x10000 */
}

uint32_t qnm__gpio_read(struct qn_model *m, uint32_t addr)
{
	uint32_t off = addr & 0xFFFFu;

	if (off >= DATA_END)
		return qnm__plain_read(m, addr);
	return m->pins[bank_of(addr)] & ((off >> 2) & 0xFFu);
}

int qnm__gpio_write(struct qn_model *m, uint32_t addr, uint32_t val)
{
	uint32_t off = addr & 0xFFFFu;
	unsigned int bank = bank_of(addr);
	uint8_t mask;

	if (off >= DATA_END)
		return qnm__plain_write(m, addr, val);
	mask = (uint8_t)((off >> 2) & 0xFFu);
	qnm__set_levels(m, bank,
			(uint8_t)((m->pins[bank] & ~mask) | (val & mask)));
	return 0;
}

void qnm__set_levels(struct qn_model *m, unsigned int bank, uint8_t levels)
{
	struct qnm_event ev;
	uint8_t old = m->pins[bank];

	m->pins[bank] = levels;
	if (old == levels)
		return;
	memset(&ev, 0, sizeof(ev));
	ev.kind = QNM_EV_PINS;
	ev.u.pins.bank = bank;
	ev.u.pins.old_levels = old;
	ev.u.pins.levels = levels;
	qnm_emit(m, &ev);
}

int qnm_set_pin(struct qn_model *m, unsigned int bank, unsigned int bit,
		int level)
{
	uint8_t b;

	if (bank >= QNM_GPIO_BANKS || bit >= 8 || level < 0 || level > 1)
		return -EINVAL;
	b = (uint8_t)(1u << bit);
	qnm__set_levels(
		m, bank,
		(uint8_t)(level ? m->pins[bank] | b : m->pins[bank] & ~b));
	return 0;
}

uint8_t qnm_pins(const struct qn_model *m, unsigned int bank)
{
	return bank < QNM_GPIO_BANKS ? m->pins[bank] : 0;
}
