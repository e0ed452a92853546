/*
 * control.c - the control channel's command language, parsed in one place
 * for every transport.  A line is checked whole before anything changes.
 */
#include "qnm_impl.h"

static int is_space(char c)
{
	return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' ||
	       c == '\f';
}

static int is_blank(char c) /* what separates words of a line */
{
	return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

static char lower(char c)
{
	return c >= 'A' && c <= 'Z' ? (char)(c - 'A' + 'a') : c;
}

int qnm__word_ieq(const char *w, size_t len, const char *text)
{
	size_t i;

	for (i = 0; i < len; i++)
		if (!text[i] || lower(w[i]) != lower(text[i]))
			return 0;
	return !text[len];
}

static int word_eq(const char *w, size_t len, const char *text)
{
	size_t i;

	for (i = 0; i < len; i++)
		if (!text[i] || w[i] != text[i])
			return 0;
	return !text[len];
}

static int digit_value(char c)
{
	if (c >= '0' && c <= '9')
		return c - '0';
	c = lower(c);
	if (c >= 'a' && c <= 'z')
		return c - 'a' + 10;
	return 99;
}

int qnm_parse_u32(const char *text, size_t len, int base, uint32_t *out)
{
	size_t i = 0;
	uint64_t v = 0;
	int any = 0;

	while (i < len && is_space(text[i]))
		i++;
	if (i >= len || text[i] == '-' || text[i] == '+')
		return 0;
	if ((base == 0 || base == 16) && len - i >= 3 && text[i] == '0' &&
	    lower(text[i + 1]) == 'x' && digit_value(text[i + 2]) < 16) {
		i += 2;
		base = 16;
	} else if (base == 0) {
		base = text[i] == '0' ? 8 : 10;
	}
	for (; i < len; i++) {
		int d = digit_value(text[i]);

		if (d >= base)
			return 0;
		v = v * (unsigned int)base + (unsigned int)d;
		if (v > 0xFFFFFFFFu)
			return 0;
		any = 1;
	}
	if (!any)
		return 0;
	*out = (uint32_t)v;
	return 1;
}

int qnm_parse_pin(const char *text, size_t len, unsigned int *bank,
		  unsigned int *bit)
{
	size_t u = 0;
	uint32_t b, i;

	while (u < len && text[u] != '_')
		u++;
	if (u >= len || !qnm_parse_u32(text, u, 10, &b) ||
	    !qnm_parse_u32(text + u + 1, len - u - 1, 10, &i) ||
	    b >= QNM_GPIO_BANKS || i >= 8)
		return 0;
	*bank = b;
	*bit = i;
	return 1;
}

/* ---- the line ---- */

#define MAX_WORDS 6 /* more than any command but panel takes */

struct line {
	const char *text;
	size_t len;
	size_t nwords; /* all words, also past MAX_WORDS */
	const char *w[MAX_WORDS];
	size_t wl[MAX_WORDS];
};

static void split(struct line *l)
{
	size_t i = 0;

	l->nwords = 0;
	while (i < l->len) {
		size_t j;

		while (i < l->len && is_blank(l->text[i]))
			i++;
		if (i >= l->len)
			break;
		for (j = i; j < l->len && !is_blank(l->text[j]); j++)
			;
		if (l->nwords < MAX_WORDS) {
			l->w[l->nwords] = l->text + i;
			l->wl[l->nwords] = j - i;
		}
		l->nwords++;
		i = j;
	}
}

/* Words first .. first + count - 1 as numbers, the line having no more. */
static int numbers(const struct line *l, size_t first, size_t count,
		   uint32_t *v)
{
	size_t i;

	if (l->nwords != first + count || first + count > MAX_WORDS)
		return 0;
	for (i = 0; i < count; i++)
		if (!qnm_parse_u32(l->w[first + i], l->wl[first + i], 0, &v[i]))
			return 0;
	return 1;
}

static int fail_line(struct qn_model *m, const struct line *l, char *err,
		     size_t errsize, const char *why)
{
	struct qnm_event ev;

	memset(&ev, 0, sizeof(ev));
	ev.kind = QNM_EV_CTL_ERROR;
	ev.u.ctl.line = l->text;
	ev.u.ctl.len = l->len;
	qnm_emit(m, &ev);
	if (err && errsize)
		snprintf(err, errsize, "%s", why);
	return -EINVAL;
}

static int refused(int ret, char *err, size_t errsize)
{
	if (err && errsize)
		snprintf(err, errsize, "%s",
			 ret == -ENOSPC ? "table full" : "refused");
	return ret;
}

/* The panel line's bytes, checked (store 0) or stored (store 1). */
static int panel_bytes(struct qn_model *m, const struct line *l, int store,
		       size_t *count)
{
	size_t i = 0, n = 0;

	while (i < l->len) { /* the words again, past MAX_WORDS too */
		size_t j;
		uint32_t b;

		while (i < l->len && is_blank(l->text[i]))
			i++;
		if (i >= l->len)
			break;
		for (j = i; j < l->len && !is_blank(l->text[j]); j++)
			;
		if (i != (size_t)(l->w[0] - l->text)) {
			if (!qnm_parse_u32(l->text + i, j - i, 16, &b) ||
			    b > 0xFF)
				return 0;
			if (store)
				m->panel_line[n] = (uint8_t)b;
			n++;
		}
		i = j;
	}
	*count = n;
	return 1;
}

/* "panel HH HH ...": all bytes checked before any is fed. */
static int panel_line(struct qn_model *m, struct line *l, char *err,
		      size_t errsize)
{
	size_t n;

	if (l->nwords - 1 > QNM_PANEL_LINE_MAX)
		return fail_line(m, l, err, errsize, "panel: too many bytes");
	if (!panel_bytes(m, l, 0, &n))
		return fail_line(m, l, err, errsize,
				 "panel: bytes are hex 00-ff");
	panel_bytes(m, l, 1, &n);
	qnm_panel_feed(m, m->panel_line, n);
	return 0;
}

int qnm_control(struct qn_model *m, const char *text, size_t len, char *err,
		size_t errsize)
{
	struct line l;
	uint32_t v[4];
	unsigned int bank, bit;
	int ret;

	if (err && errsize)
		err[0] = 0;
	if (len && text[len - 1] == '\n')
		len--;
	if (len && text[len - 1] == '\r')
		len--;
	l.text = text;
	l.len = len;
	split(&l);
	if (!l.nwords)
		return 0;
#define IS(cmd) word_eq(l.w[0], l.wl[0], cmd)
	if (IS("panel") && l.nwords > 1)
		return panel_line(m, &l, err, errsize);
	if (IS("pin")) {
		if (l.nwords != 3 ||
		    !qnm_parse_pin(l.w[1], l.wl[1], &bank, &bit) ||
		    !qnm_parse_u32(l.w[2], l.wl[2], 0, &v[0]) || v[0] > 1)
			return fail_line(m, &l, err, errsize,
					 "usage: pin B_b L (bank 0-8, bit 0-7, "
					 "level 0 or 1)");
		return qnm_set_pin(m, bank, bit, (int)v[0]);
	}
	if (IS("reg")) {
		if (!numbers(&l, 1, 2, v))
			return fail_line(m, &l, err, errsize,
					 "usage: reg ADDR VAL");
		ret = qnm_reg_write(m, v[0], v[1]);
		return ret ? refused(ret, err, errsize) : 0;
	}
	if (IS("i2c")) {
		if (!numbers(&l, 1, 3, v))
			return fail_line(m, &l, err, errsize,
					 "usage: i2c ADDR REG VAL");
		if (qnm_i2c_get(m, v[0], v[1], &v[3]))
			return fail_line(
				m, &l, err, errsize,
				"i2c: no plain device at that address");
		ret = qnm_i2c_set(m, v[0], v[1], v[2]);
		return ret ? refused(ret, err, errsize) : 0;
	}
	if (IS("nvp")) {
		uint32_t old;

		if (!numbers(&l, 1, 4, v))
			return fail_line(m, &l, err, errsize,
					 "usage: nvp CHIP BANK REG VAL");
		if (qnm_nvp_get(m, v[0], v[1], v[2], &old))
			return fail_line(m, &l, err, errsize,
					 "nvp: chip 0, 1, 0x60 or 0x62, bank "
					 "0-15, register 0-0xff");
		return qnm_nvp_set(m, v[0], v[1], v[2], v[3]);
	}
	if (IS("fail")) {
		if (l.nwords != 2 || qnm_fault_rule(m, l.w[1], l.wl[1]))
			return fail_line(
				m, &l, err, errsize,
				"usage: fail NAME[@N] (QN_REG_ACCESS "
				"QN_GET_MBINFO QN_BUZZER I2C_REG_READ "
				"I2C_REG_WRITE RTC_SET_TIME or a call the "
				"transport names)");
		return 0;
	}
	if (IS("reset") && l.nwords == 1) {
		qnm_reset(m);
		return QNM_CTL_RESET;
	}
	if (IS("clock") && l.nwords == 1)
		return QNM_CTL_CLOCK;
	if (IS("sync") && l.nwords == 1) {
		struct qnm_event ev;

		memset(&ev, 0, sizeof(ev));
		ev.kind = QNM_EV_SYNC;
		qnm_emit(m, &ev);
		return 0;
	}
#undef IS
	return fail_line(m, &l, err, errsize,
			 "unknown command (panel pin reg i2c nvp fail reset "
			 "clock sync)");
}
