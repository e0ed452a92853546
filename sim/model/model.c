/*
 * model.c - the board as a whole: identity, power-on, the driver requests
 * of qn_KD300 and tw_286x, fault rules and the observer.
 */
#include "qnm_impl.h"

static const char *const node_name[QNM_NODE_COUNT] = {"qn_KD300", "tw_286x",
						      "panel", "rtc"};
static const char *const node_path[QNM_NODE_COUNT] = {
	"/dev/qn_KD300", "/dev/tw_286x", "/dev/panel", "/dev/rtc"};

static const struct {
	const char *name;
	uint32_t code;
	int node; /* -1: no node */
} calls[QNM_CALL_COUNT] = {
	{"QN_REG_ACCESS", QNM_CODE_REG_ACCESS, QNM_NODE_KD},
	{"QN_GET_MBINFO", QNM_CODE_GET_MBINFO, QNM_NODE_KD},
	{"QN_BUZZER", QNM_CODE_BUZZER, QNM_NODE_KD},
	{"I2C_REG_READ", QNM_CODE_I2C_REG_READ, QNM_NODE_TW},
	{"I2C_REG_WRITE", QNM_CODE_I2C_REG_WRITE, QNM_NODE_TW},
	{"RTC_SET_TIME", QNM_CODE_RTC_SET_TIME, QNM_NODE_RTC},
};

static const char *const model_name[] = {"KD3151", "KD3252", "KD3353", "KD3454",
					 "KD3555"};

const char *qnm_node_name(enum qnm_node node)
{
	return (unsigned int)node < QNM_NODE_COUNT ? node_name[node] : NULL;
}

const char *qnm_node_path(enum qnm_node node)
{
	return (unsigned int)node < QNM_NODE_COUNT ? node_path[node] : NULL;
}

int qnm_node_by_name(const char *name, size_t len)
{
	int n;

	for (n = 0; n < QNM_NODE_COUNT; n++)
		if (qnm__word_ieq(name, len, node_name[n]))
			return n;
	return -1;
}

int qnm_node_by_path(const char *path)
{
	int n;
	size_t i;

	if (!path)
		return -1;
	for (n = 0; n < QNM_NODE_COUNT; n++) {
		for (i = 0; path[i] && path[i] == node_path[n][i]; i++)
			;
		if (!path[i] && !node_path[n][i])
			return n;
	}
	return -1;
}

const char *qnm_call_name(enum qnm_call call)
{
	return (unsigned int)call < QNM_CALL_COUNT ? calls[call].name : NULL;
}

uint32_t qnm_call_code(enum qnm_call call)
{
	return (unsigned int)call < QNM_CALL_COUNT ? calls[call].code : 0;
}

enum qnm_call qnm_call_by_name(const char *name, size_t len)
{
	int c;

	for (c = 0; c < QNM_CALL_COUNT; c++)
		if (qnm__word_ieq(name, len, calls[c].name))
			return (enum qnm_call)c;
	return QNM_CALL_NONE;
}

/* The call a code names, whatever node it was issued on. */
static enum qnm_call call_by_code(unsigned long code)
{
	int c;

	if (code > 0xFFFFFFFFul)
		return QNM_CALL_NONE;
	for (c = 0; c < QNM_CALL_COUNT; c++)
		if (calls[c].code && (uint32_t)code == calls[c].code)
			return (enum qnm_call)c;
	return QNM_CALL_NONE;
}

enum qnm_call qnm_call_of(enum qnm_node node, unsigned long code)
{
	enum qnm_call c = call_by_code(code);

	if (c == QNM_CALL_NONE || calls[c].node != (int)node)
		return QNM_CALL_NONE;
	return c;
}

uint32_t qnm_model_by_name(const char *name, size_t len)
{
	unsigned int i;

	for (i = 0; i < sizeof(model_name) / sizeof(model_name[0]); i++)
		if (qnm__word_ieq(name, len, model_name[i]))
			return QNM_MODEL_KD3151 + i;
	return 0;
}

/* ---- life cycle ---- */

static void power_on(struct qn_model *m)
{
	m->buzzer = 0;
	qnm__regs_power_on(m);
	qnm__i2c_power_on(m);
	qnm__nvp_power_on(m);
	m->panel_head = 0;
	m->panel_len = 0;
	memset(m->panel, 0, sizeof(m->panel));
	memset(m->panel_line, 0, sizeof(m->panel_line));
	memset(m->fail_from, 0, sizeof(m->fail_from));
	memset(m->calls, 0, sizeof(m->calls));
}

/* The settings' I2C devices, fault rules, pins and registers. */
static int apply_settings(struct qn_model *m)
{
	const struct qnm_settings *s = &m->settings;
	unsigned int i;
	int ret = 0, r;

	for (i = 0; i < s->ni2c; i++) {
		r = qnm_i2c_add_device(m, s->i2c[i]);
		if (r && !ret)
			ret = r;
	}
	for (i = 0; i < s->nfail; i++)
		if (s->fail[i].slot < QNM_FAULT_SLOTS)
			m->fail_from[s->fail[i].slot] = s->fail[i].from;
	for (i = 0; i < s->npins; i++)
		qnm_set_pin(m, s->pins[i].bank, s->pins[i].bit,
			    s->pins[i].level);
	for (i = 0; i < s->nregs; i++) {
		r = qnm_reg_write(m, s->regs[i].addr, s->regs[i].val);
		if (r && !ret)
			ret = r;
	}
	return ret;
}

void qnm_init(struct qn_model *m, uint32_t model, uint32_t gp_id,
	      uint32_t mb_version)
{
	memset(m, 0, sizeof(*m));
	qnm_set_identity(m, model, gp_id, mb_version);
	power_on(m);
}

int qnm_power_on(struct qn_model *m, const struct qnm_settings *s)
{
	qnm_init(m, s->model, s->gp_id, s->mb_version);
	m->settings = *s;
	return apply_settings(m);
}

void qnm_reset(struct qn_model *m)
{
	struct qnm_event ev;
	unsigned int b;

	memset(&ev, 0, sizeof(ev));
	ev.kind = QNM_EV_RESET;
	qnm_emit(m, &ev);
	m->model = m->settings.model;
	m->gp_id = m->settings.gp_id;
	m->mb_version = m->settings.mb_version;
	power_on(m);
	for (b = 0; b < QNM_GPIO_BANKS; b++)
		qnm__set_levels(m, b, 0);
	apply_settings(m);
}

void qnm_set_observer(struct qn_model *m, const struct qnm_observer *obs)
{
	if (obs)
		m->obs = *obs;
	else
		memset(&m->obs, 0, sizeof(m->obs));
}

void qnm_set_identity(struct qn_model *m, uint32_t model, uint32_t gp_id,
		      uint32_t mb_version)
{
	m->model = model;
	m->gp_id = gp_id;
	m->mb_version = mb_version;
	m->settings.model = model;
	m->settings.gp_id = gp_id;
	m->settings.mb_version = mb_version;
}

void qnm_emit(struct qn_model *m, const struct qnm_event *ev)
{
	int64_t t = m->obs.now_us ? m->obs.now_us(m->obs.ctx) : 0;

	if (m->obs.event)
		m->obs.event(m->obs.ctx, t, ev);
}

/* ---- faults ---- */

/* A call of a node another driver serves. */
static int call_foreign(const struct qnm_settings *s, unsigned int call)
{
	return calls[call].node >= 0 && s->foreign[calls[call].node];
}

/* The slot a fault-rule name stands for with these settings; -1 if none. */
static int fault_slot(const struct qnm_settings *s, const char *name,
		      size_t len)
{
	int slot = qnm_call_by_name(name, len), i;

	if (slot >= 0)
		return call_foreign(s, (unsigned int)slot) ? -1 : slot;
	for (i = 0; i < QNM_EXTRA_CALLS; i++)
		if (s->extra_calls[i] &&
		    qnm__word_ieq(name, len, s->extra_calls[i]))
			return QNM_CALL_COUNT + i;
	return -1;
}

const char *qnm_fault_name(const struct qnm_settings *s, unsigned int i)
{
	unsigned int slot;

	for (slot = 0; slot < QNM_FAULT_SLOTS; slot++) {
		const char *name =
			slot < QNM_CALL_COUNT
				? calls[slot].name
				: s->extra_calls[slot - QNM_CALL_COUNT];

		if (!name || (slot < QNM_CALL_COUNT && call_foreign(s, slot)))
			continue;
		if (!i--)
			return name;
	}
	return NULL;
}

int qnm_parse_fault(const char *text, size_t len, const struct qnm_settings *s,
		    struct qnm_fault *out)
{
	size_t at = 0;
	uint32_t from = 1;
	int slot;

	while (at < len && text[at] != '@')
		at++;
	slot = fault_slot(s, text, at);
	if (slot < 0)
		return -EINVAL;
	if (at < len && !qnm_parse_u32(text + at + 1, len - at - 1, 10, &from))
		return -EINVAL;
	out->slot = (unsigned int)slot;
	out->from = from ? from : 1;
	return 0;
}

int qnm_fault_rule(struct qn_model *m, const char *text, size_t len)
{
	struct qnm_fault f;

	if (qnm_parse_fault(text, len, &m->settings, &f))
		return -EINVAL;
	m->fail_from[f.slot] = f.from;
	return 0;
}

int qnm__count_call(struct qn_model *m, unsigned int slot)
{
	if (m->calls[slot] < 0xFFFFFFFFu)
		m->calls[slot]++;
	return m->fail_from[slot] && m->calls[slot] >= m->fail_from[slot];
}

int qnm_fault_due(struct qn_model *m, unsigned int slot)
{
	if (slot >= QNM_FAULT_SLOTS)
		return 0;
	return qnm__count_call(m, slot);
}

/* ---- requests ---- */

static int serve(struct qn_model *m, enum qnm_call call, uint32_t w[5])
{
	struct qnm_event ev;

	if (qnm__count_call(m, call))
		return -EIO;
	switch (call) {
	case QNM_CALL_REG:
		if (w[0] == 1) {
			w[0] = qnm_reg_read(m, w[1]);
			return 0;
		}
		if (w[0] == 0)
			return qnm_reg_write(m, w[1], w[2]);
		return -EINVAL;
	case QNM_CALL_MBINFO:
		w[0] = m->model;
		w[1] = m->gp_id;
		w[2] = m->mb_version;
		return 0;
	case QNM_CALL_BUZZER:
		m->buzzer = w[0] != 0;
		memset(&ev, 0, sizeof(ev));
		ev.kind = QNM_EV_BUZZER;
		ev.u.buzzer.on = m->buzzer;
		qnm_emit(m, &ev);
		return 0;
	case QNM_CALL_I2C_RD:
		return qnm__i2c_request(m, 0, w);
	case QNM_CALL_I2C_WR:
		return qnm__i2c_request(m, 1, w);
	default:
		return -ENOTTY;
	}
}

/* Emits the REQUEST of a block request that ended with ret. */
static void note_request(struct qn_model *m, enum qnm_call call, uint32_t code,
			 const uint32_t in[5], const uint32_t out[5], int ret)
{
	struct qnm_event ev;

	memset(&ev, 0, sizeof(ev));
	ev.kind = QNM_EV_REQUEST;
	ev.u.req.call = call;
	ev.u.req.code = code;
	memcpy(ev.u.req.in, in, sizeof(ev.u.req.in));
	memcpy(ev.u.req.out, out, sizeof(ev.u.req.out));
	ev.u.req.ret = ret;
	qnm_emit(m, &ev);
}

static int is_block_call(enum qnm_call call)
{
	return (unsigned int)call < QNM_BLOCK_CALLS;
}

int qnm_ioctl(struct qn_model *m, enum qnm_node node, unsigned long code,
	      uint32_t w[5])
{
	enum qnm_call named = call_by_code(code);
	uint32_t in[5];
	int ret;

	if (w)
		memcpy(in, w, sizeof(in));
	else
		memset(in, 0, sizeof(in));
	if (qnm_call_of(node, code) == QNM_CALL_NONE || !is_block_call(named))
		ret = -ENOTTY;
	else if (!w)
		ret = -EFAULT;
	else
		ret = serve(m, named, w);
	if (ret && w)
		memcpy(w, in, sizeof(in));
	note_request(m, named, (uint32_t)code, in, w ? w : in, ret);
	return ret;
}
