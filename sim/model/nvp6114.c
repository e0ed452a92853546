/*
 * nvp6114.c - the two NVP6114 video decoders on the tw_286x bus.
 *
 * Each has 16 banks of 256 byte registers.  Register 0xFF, in any bank,
 * is the bank select that plain I2C accesses go through; the banked form
 * of I2C_REG_* names the bank itself.  Power-on: bank b register r holds
 * (r + 0x11 * b) & 0xFF, the select is 0.
 */
#include "qnm_impl.h"

static const uint32_t nvp_addr[QNM_NVP_CHIPS] = {QNM_NVP_ADDR0, QNM_NVP_ADDR1};

struct qnm_nvp *qnm__nvp_at(struct qn_model *m, uint32_t bus_addr)
{
	int i;

	for (i = 0; i < QNM_NVP_CHIPS; i++)
		if (bus_addr == nvp_addr[i])
			return &m->nvp[i];
	return NULL;
}

int qnm__nvp_access(struct qn_model *m, int write, uint32_t chip, uint32_t bank,
		    uint32_t reg, uint32_t *val)
{
	struct qnm_nvp *d;
	uint8_t *cell;

	d = chip < QNM_NVP_CHIPS ? &m->nvp[chip] : qnm__nvp_at(m, chip);
	if (!d)
		return -ENXIO;
	if (bank >= QNM_NVP_BANKS || reg > 0xFF)
		return -EINVAL;
	cell = reg == 0xFF ? &d->select : &d->reg[bank][reg];
	if (write)
		*cell = (uint8_t)*val;
	else
		*val = *cell;
	return 0;
}

void qnm__nvp_power_on(struct qn_model *m)
{
	int c, b, r;

	for (c = 0; c < QNM_NVP_CHIPS; c++) {
		for (b = 0; b < QNM_NVP_BANKS; b++) {
			for (r = 0; r < 0xFF; r++)
				m->nvp[c].reg[b][r] = (uint8_t)(r + 0x11 * b);
			m->nvp[c].reg[b][0xFF] = 0;
		}
		m->nvp[c].select = 0;
	}
}

int qnm_nvp_set(struct qn_model *m, uint32_t chip, uint32_t bank, uint32_t reg,
		uint32_t val)
{
	return qnm__nvp_access(m, 1, chip, bank, reg, &val);
}

int qnm_nvp_get(struct qn_model *m, uint32_t chip, uint32_t bank, uint32_t reg,
		uint32_t *val)
{
	return qnm__nvp_access(m, 0, chip, bank, reg, val);
}
