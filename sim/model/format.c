/*
 * format.c - the trace lines and the VCD waveform of the board's events,
 * one formatter for every transport.
 */
#include "qnm_impl.h"

void qnm_text_init(struct qnm_text *t, char *buf, size_t size)
{
	t->buf = buf;
	t->size = size;
	t->len = 0;
	t->cut = 0;
	if (size)
		buf[0] = '\0';
}

void qnm_text_vadd(struct qnm_text *t, const char *fmt, va_list ap)
{
	size_t room;
	int n;

	if (t->size < 2 || t->len >= t->size - 2) {
		t->cut = 1;
		return;
	}
	room = t->size - 1 - t->len; /* bytes vsnprintf may write, NUL too */
	n = vsnprintf(t->buf + t->len, room, fmt, ap);
	if (n < 0) {
		t->buf[t->len] = '\0';
		t->cut = 1;
		return;
	}
	if ((size_t)n < room) {
		t->len += (size_t)n;
	} else {
		t->len = t->size - 2;
		t->cut = 1;
	}
}

void qnm_text_add(struct qnm_text *t, const char *fmt, ...)
{
	va_list ap;

	va_start(ap, fmt);
	qnm_text_vadd(t, fmt, ap);
	va_end(ap);
}

size_t qnm_text_line(struct qnm_text *t)
{
	if (t->size < 2)
		return 0;
	t->buf[t->len++] = '\n';
	t->buf[t->len] = '\0';
	return t->len;
}

static int ret_word(int ret)
{
	return ret < 0 ? -1 : 0;
}

#define PANEL_READ_MAX 1024 /* bytes of one read the trace shows */

size_t qnm_format_trace(char *buf, size_t size, int64_t t_us,
			const struct qnm_event *ev)
{
	struct qnm_text o;
	size_t i;

	if (ev->kind == QNM_EV_PINS || size < 2)
		return 0;
	qnm_text_init(&o, buf, size);
	qnm_text_add(&o, "%lld ", (long long)t_us);
	switch (ev->kind) {
	case QNM_EV_REQUEST: {
		const uint32_t *in = ev->u.req.in, *w = ev->u.req.out;

		if (ev->u.req.call != QNM_CALL_NONE)
			qnm_text_add(&o, "ioctl %s",
				     qnm_call_name(ev->u.req.call));
		else
			qnm_text_add(&o, "ioctl 0x%08x",
				     (unsigned int)ev->u.req.code);
		qnm_text_add(&o,
			     " in=0x%08x,0x%08x,0x%08x,0x%08x,0x%08x"
			     " out=0x%08x,0x%08x,0x%08x,0x%08x,0x%08x ret=%d",
			     (unsigned int)in[0], (unsigned int)in[1],
			     (unsigned int)in[2], (unsigned int)in[3],
			     (unsigned int)in[4], (unsigned int)w[0],
			     (unsigned int)w[1], (unsigned int)w[2],
			     (unsigned int)w[3], (unsigned int)w[4],
			     ret_word(ev->u.req.ret));
		break;
	}
	case QNM_EV_BUZZER:
		qnm_text_add(&o, "buzzer %d", ev->u.buzzer.on);
		break;
	case QNM_EV_PANEL_FEED:
		qnm_text_add(&o, "panel-feed ");
		for (i = 0; i < ev->u.panel.len; i++)
			qnm_text_add(&o, i ? " %02x" : "%02x",
				     ev->u.panel.bytes[i]);
		break;
	case QNM_EV_PANEL_DROP:
		qnm_text_add(&o, "panel-drop %lu",
			     (unsigned long)ev->u.panel.len);
		break;
	case QNM_EV_PANEL_READ:
		qnm_text_add(&o, "panel-read ");
		for (i = 0; i < ev->u.panel.len && i < PANEL_READ_MAX; i++)
			qnm_text_add(&o, "%02x", ev->u.panel.bytes[i]);
		break;
	case QNM_EV_CTL_ERROR:
		qnm_text_add(&o, "ctl-error %.*s", (int)ev->u.ctl.len,
			     ev->u.ctl.line);
		break;
	case QNM_EV_SYNC:
		qnm_text_add(&o, "sync");
		break;
	case QNM_EV_RESET:
		qnm_text_add(&o, "reset");
		break;
	case QNM_EV_CLOCK:
		qnm_text_add(&o, "clock sys=%lld rtc=%s", ev->u.clock.sys_s,
			     ev->u.clock.rtc_text);
		break;
	case QNM_EV_TABLE_FULL:
		if (ev->u.full.i2c)
			qnm_text_add(&o, "table-full i2c 0x%02x 0x%08x=0x%08x",
				     (unsigned int)ev->u.full.dev,
				     (unsigned int)ev->u.full.addr,
				     (unsigned int)ev->u.full.val);
		else
			qnm_text_add(&o, "table-full reg 0x%08x=0x%08x",
				     (unsigned int)ev->u.full.addr,
				     (unsigned int)ev->u.full.val);
		break;
	case QNM_EV_PINS:
		break;
	}
	return qnm_text_line(&o);
}

size_t qnm_format_dropped(char *buf, size_t size, int64_t t_us,
			  enum qnm_dropped_sink sink, unsigned long count)
{
	struct qnm_text o;

	qnm_text_init(&o, buf, size);
	qnm_text_add(&o, "%lld %s %lu", (long long)t_us,
		     sink == QNM_DROPPED_LINK ? "dropped" : "trace-dropped",
		     count);
	return qnm_text_line(&o);
}

/* ---- VCD ---- */

/* 72 one-character identifiers from '%' on: '$' and '#' would read as
 * keywords. */
static char vcd_id(unsigned int pin)
{
	return (char)('%' + pin);
}

size_t qnm_format_vcd_header(char *buf, size_t size, struct qnm_vcd *vcd,
			     const char *date, const struct qn_model *m)
{
	struct qnm_text o;
	unsigned int p;

	qnm_text_init(&o, buf, size);
	qnm_text_add(&o,
		     "$date %s $end\n$version qnsim $end\n$timescale 1us $end\n"
		     "$scope module gpio $end\n",
		     date);
	for (p = 0; p < QNM_PINS; p++)
		qnm_text_add(&o, "$var wire 1 %c gpio%u_%u $end\n", vcd_id(p),
			     p >> 3, p & 7u);
	qnm_text_add(&o,
		     "$upscope $end\n$enddefinitions $end\n#0\n$dumpvars\n");
	for (p = 0; p < QNM_PINS; p++)
		qnm_text_add(&o, "%c%c\n",
			     '0' + ((m->pins[p >> 3] >> (p & 7u)) & 1),
			     vcd_id(p));
	qnm_text_add(&o, "$end\n");
	if (o.cut)
		return 0;
	vcd->last_us = 0;
	return o.len;
}

size_t qnm_format_vcd_change(char *buf, size_t size, struct qnm_vcd *vcd,
			     int64_t t_us, const struct qnm_event *ev)
{
	struct qnm_text o;
	unsigned int b;
	uint8_t diff;

	if (ev->kind != QNM_EV_PINS)
		return 0;
	diff = ev->u.pins.old_levels ^ ev->u.pins.levels;
	if (!diff)
		return 0;
	qnm_text_init(&o, buf, size);
	if (t_us > vcd->last_us) {
		qnm_text_add(&o, "#%lld\n", (long long)t_us);
		vcd->last_us = t_us;
	}
	for (b = 0; b < 8; b++)
		if ((diff >> b) & 1)
			qnm_text_add(&o, "%c%c\n",
				     '0' + ((ev->u.pins.levels >> b) & 1),
				     vcd_id(ev->u.pins.bank * 8 + b));
	return o.len;
}
