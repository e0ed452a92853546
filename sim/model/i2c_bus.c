/*
 * i2c_bus.c - the I2C bus behind tw_286x and its plain register devices.
 *
 * I2C_REG_READ/WRITE: w0 = 0 names a decoder register by (chip, bank,
 * register) in w1-w3, value in w4; w0 = 100 names a register of the device
 * at bus address w1 by w2, value in w3 (a decoder there is reached through
 * its bank select).  Results of reads go to w0.  Plain devices store any
 * register number and value, QNM_I2C_REG_CAP of them each.
 */
#include "qnm_impl.h"

static struct qnm_i2c_dev *plain_dev(struct qn_model *m, uint32_t addr)
{
	unsigned int i;

	for (i = 0; i < m->ni2c; i++)
		if (m->i2c[i].addr == addr)
			return &m->i2c[i];
	return NULL;
}

int qnm_i2c_add_device(struct qn_model *m, uint32_t addr)
{
	struct qnm_i2c_dev *d;

	if (qnm__nvp_at(m, addr))
		return -EINVAL;
	if (plain_dev(m, addr))
		return 0;
	if (m->ni2c >= QNM_I2C_DEV_CAP)
		return -ENOSPC;
	d = &m->i2c[m->ni2c++];
	memset(d, 0, sizeof(*d));
	d->addr = addr;
	return 0;
}

int qnm_i2c_set(struct qn_model *m, uint32_t dev, uint32_t reg, uint32_t val)
{
	struct qnm_i2c_dev *d = plain_dev(m, dev);
	struct qnm_event ev;

	if (!d)
		return -ENXIO;
	if (qnm__sparse_put(d->regs, &d->nregs, QNM_I2C_REG_CAP, reg, val) == 0)
		return 0;
	memset(&ev, 0, sizeof(ev));
	ev.kind = QNM_EV_TABLE_FULL;
	ev.u.full.i2c = 1;
	ev.u.full.dev = dev;
	ev.u.full.addr = reg;
	ev.u.full.val = val;
	qnm_emit(m, &ev);
	return -ENOSPC;
}

int qnm_i2c_get(struct qn_model *m, uint32_t dev, uint32_t reg, uint32_t *val)
{
	struct qnm_i2c_dev *d = plain_dev(m, dev);

	if (!d)
		return -ENXIO;
	*val = qnm__sparse_get(d->regs, d->nregs, reg);
	return 0;
}

void qnm__i2c_power_on(struct qn_model *m)
{
	unsigned int i;

	for (i = 0; i < m->ni2c; i++) {
		m->i2c[i].nregs = 0;
		memset(m->i2c[i].regs, 0, sizeof(m->i2c[i].regs));
	}
}

int qnm__i2c_request(struct qn_model *m, int write, uint32_t w[5])
{
	struct qnm_nvp *d;
	uint32_t *val;

	if (w[0] == QNM_I2C_SEL_NVP)
		return qnm__nvp_access(m, write, w[1], w[2], w[3],
				       write ? &w[4] : &w[0]);
	if (w[0] != QNM_I2C_SEL_PLAIN)
		return -EINVAL;
	val = write ? &w[3] : &w[0];
	d = qnm__nvp_at(m, w[1]);
	if (d) {
		if (w[2] > 0xFF)
			return -EINVAL;
		return qnm__nvp_access(m, write, w[1], d->select & 0x0Fu, w[2],
				       val);
	}
	if (write)
		return qnm_i2c_set(m, w[1], w[2], *val);
	return qnm_i2c_get(m, w[1], w[2], val);
}
