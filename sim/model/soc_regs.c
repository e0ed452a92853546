/*
 * soc_regs.c - the Hi3520D's register space as QN_REG_ACCESS reaches it.
 *
 * Address ranges with their own handlers: the GPIO controller (gpio.c),
 * the DDR controller (plain storage, seeded with the board's geometry)
 * and everything else (plain storage).  Plain storage is one sparse
 * table of QNM_REG_CAP entries.
 */
#include "qnm_impl.h"

uint32_t qnm__sparse_get(const struct qnm_reg_entry *t, unsigned int n,
			 uint32_t addr)
{
	unsigned int i;

	for (i = 0; i < n; i++)
		if (t[i].addr == addr)
			return t[i].val;
	return 0;
}

int qnm__sparse_put(struct qnm_reg_entry *t, unsigned int *n, unsigned int cap,
		    uint32_t addr, uint32_t val)
{
	unsigned int i;

	for (i = 0; i < *n; i++) {
		if (t[i].addr != addr)
			continue;
		if (val) {
			t[i].val = val;
		} else { /* reads 0 again: the entry is free */
			t[i] = t[*n - 1];
			--*n;
		}
		return 0;
	}
	if (!val)
		return 0;
	if (*n >= cap)
		return -ENOSPC;
	t[*n].addr = addr;
	t[*n].val = val;
	++*n;
	return 0;
}

uint32_t qnm__plain_read(struct qn_model *m, uint32_t addr)
{
	return qnm__sparse_get(m->regs, m->nregs, addr);
}

int qnm__plain_write(struct qn_model *m, uint32_t addr, uint32_t val)
{
	struct qnm_event ev;

	if (qnm__sparse_put(m->regs, &m->nregs, QNM_REG_CAP, addr, val) == 0)
		return 0;
	memset(&ev, 0, sizeof(ev));
	ev.kind = QNM_EV_TABLE_FULL;
	ev.u.full.i2c = 0;
	ev.u.full.addr = addr;
	ev.u.full.val = val;
	qnm_emit(m, &ev);
	return -ENOSPC;
}

/* DDR controller: 10 column bits, 13 row bits, 32-bit bus: 256 MB. */
#define DDR_GEOMETRY 0x2011002Cu
#define DDR_WIDTH 0x2011001Cu

void qnm__regs_power_on(struct qn_model *m)
{
	m->nregs = 0;
	memset(m->regs, 0, sizeof(m->regs));
	qnm__plain_write(m, DDR_GEOMETRY, 0x22);
	qnm__plain_write(m, DDR_WIDTH, 0x10);
}

struct range {
	int (*claims)(uint32_t addr);
	uint32_t (*read)(struct qn_model *m, uint32_t addr);
	int (*write)(struct qn_model *m, uint32_t addr, uint32_t val);
};

/* First match wins; addresses no range claims are plain storage (the DDR
 * controller among them). */
static const struct range ranges[] = {
	{qnm__gpio_claims, qnm__gpio_read, qnm__gpio_write},
};

uint32_t qnm_reg_read(struct qn_model *m, uint32_t addr)
{
	size_t i;

	for (i = 0; i < sizeof(ranges) / sizeof(ranges[0]); i++)
		if (ranges[i].claims(addr))
			return ranges[i].read(m, addr);
	return qnm__plain_read(m, addr);
}

int qnm_reg_write(struct qn_model *m, uint32_t addr, uint32_t val)
{
	size_t i;

	for (i = 0; i < sizeof(ranges) / sizeof(ranges[0]); i++)
		if (ranges[i].claims(addr))
			return ranges[i].write(m, addr, val);
	return qnm__plain_write(m, addr, val);
}
