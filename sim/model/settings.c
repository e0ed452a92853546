/*
 * settings.c - the transports' settings of the board, parsed once for the
 * LD_PRELOAD simulator's QNSIM_* variables and the kernel module's
 * parameters alike.
 */
#include "qnm_impl.h"

/* The name of an entry in the error text, per setting. */
static const char *const entry_name[] = {
	"model",	/* QNM_SET_MODEL */
	"number",	/* QNM_SET_GP_ID */
	"number",	/* QNM_SET_MB_VERSION */
	"node",		/* QNM_SET_ABSENT */
	"node",		/* QNM_SET_DENIED */
	"I2C address",	/* QNM_SET_I2C */
	"fault rule",	/* QNM_SET_FAIL */
	"pin B_b=L",	/* QNM_SET_PINS */
	"register A=V", /* QNM_SET_REGS */
};

void qnm_settings_init(struct qnm_settings *s, const char *const *extra_calls,
		       unsigned int nextra)
{
	unsigned int i;

	memset(s, 0, sizeof(*s));
	s->model = QNM_MODEL_DEFAULT;
	s->mb_version = 1;
	s->ni2c = 1;
	s->i2c[0] = 0x50;
	for (i = 0; extra_calls && i < nextra && i < QNM_EXTRA_CALLS; i++)
		s->extra_calls[i] = extra_calls[i];
}

static int is_blank(char c)
{
	return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

/* "LEFT=RIGHT": the two parts, or 0 without an '='. */
static int split_eq(const char *t, size_t len, size_t *eq)
{
	for (*eq = 0; *eq < len; (*eq)++)
		if (t[*eq] == '=')
			return 1;
	return 0;
}

static int parse_model(struct qnm_settings *s, const char *t, size_t len)
{
	uint32_t code = qnm_model_by_name(t, len);

	if (!code && !qnm_parse_u32(t, len, 0, &code))
		return 0;
	s->model = code;
	return 1;
}

static int parse_node(uint8_t *set, const char *t, size_t len)
{
	int n = qnm_node_by_name(t, len);

	if (n < 0)
		return 0;
	set[n] = 1;
	return 1;
}

static int parse_i2c(struct qnm_settings *s, const char *t, size_t len)
{
	uint32_t a;
	unsigned int i;

	if (!qnm_parse_u32(t, len, 0, &a) || a > 0x7F || a == QNM_NVP_ADDR0 ||
	    a == QNM_NVP_ADDR1)
		return 0;
	for (i = 0; i < s->ni2c; i++)
		if (s->i2c[i] == a)
			return 1;
	if (s->ni2c >= QNM_I2C_DEV_CAP)
		return 0;
	s->i2c[s->ni2c++] = a;
	return 1;
}

static int parse_fail(struct qnm_settings *s, const char *t, size_t len)
{
	struct qnm_fault f;

	if (s->nfail >= QNM_FAIL_RULE_CAP || qnm_parse_fault(t, len, s, &f))
		return 0;
	s->fail[s->nfail++] = f;
	return 1;
}

static int parse_pin(struct qnm_settings *s, const char *t, size_t len)
{
	unsigned int bank, bit;
	uint32_t level;
	size_t eq;

	if (!split_eq(t, len, &eq) || s->npins >= QNM_PINS ||
	    !qnm_parse_pin(t, eq, &bank, &bit) ||
	    !qnm_parse_u32(t + eq + 1, len - eq - 1, 0, &level) || level > 1)
		return 0;
	s->pins[s->npins].bank = (uint8_t)bank;
	s->pins[s->npins].bit = (uint8_t)bit;
	s->pins[s->npins].level = (uint8_t)level;
	s->npins++;
	return 1;
}

static int parse_reg(struct qnm_settings *s, const char *t, size_t len)
{
	uint32_t a, v;
	size_t eq;

	if (!split_eq(t, len, &eq) || s->nregs >= QNM_SET_REG_CAP ||
	    !qnm_parse_u32(t, eq, 0, &a) ||
	    !qnm_parse_u32(t + eq + 1, len - eq - 1, 0, &v))
		return 0;
	s->regs[s->nregs].addr = a;
	s->regs[s->nregs].val = v;
	s->nregs++;
	return 1;
}

/* One entry (no blanks around it): 1 if taken. */
static int parse_entry(struct qnm_settings *s, enum qnm_setting what,
		       const char *t, size_t len)
{
	switch (what) {
	case QNM_SET_MODEL:
		return parse_model(s, t, len);
	case QNM_SET_GP_ID:
		return qnm_parse_u32(t, len, 0, &s->gp_id);
	case QNM_SET_MB_VERSION:
		return qnm_parse_u32(t, len, 0, &s->mb_version);
	case QNM_SET_ABSENT:
		return parse_node(s->absent, t, len);
	case QNM_SET_DENIED:
		return parse_node(s->denied, t, len);
	case QNM_SET_I2C:
		return parse_i2c(s, t, len);
	case QNM_SET_FAIL:
		return parse_fail(s, t, len);
	case QNM_SET_PINS:
		return parse_pin(s, t, len);
	case QNM_SET_REGS:
		return parse_reg(s, t, len);
	}
	return 0;
}

static int is_list(enum qnm_setting what)
{
	return what >= QNM_SET_ABSENT;
}

int qnm_settings_parse(struct qnm_settings *s, enum qnm_setting what,
		       const char *text, size_t len, char *err, size_t errsize)
{
	size_t i = 0, j, k;
	int ret = 0;

	if (err && errsize)
		err[0] = 0;
	if ((unsigned int)what > QNM_SET_REGS) {
		if (err && errsize)
			snprintf(err, errsize, "no such setting");
		return -EINVAL;
	}
	if (what == QNM_SET_I2C && !s->i2c_given) {
		s->ni2c = 0;
		s->i2c_given = 1;
	}
	while (i <= len) {
		for (j = i; j < len && (!is_list(what) || text[j] != ','); j++)
			;
		k = j;
		while (i < k && is_blank(text[i]))
			i++;
		while (k > i && is_blank(text[k - 1]))
			k--;
		if ((k > i || !is_list(what)) &&
		    !parse_entry(s, what, text + i, k - i) && !ret) {
			ret = -EINVAL;
			if (err && errsize)
				snprintf(err, errsize, "bad %s '%.*s'",
					 entry_name[what], (int)(k - i),
					 text + i);
		}
		i = j + 1;
	}
	return ret;
}
