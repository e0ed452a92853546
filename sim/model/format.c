/*
 * format.c - the trace lines and the VCD waveform of the board's events,
 * one formatter for every transport.
 */
#include "qnm_impl.h"

/* A line being built: text is cut at size - 2 characters, leaving room
 * for the '\n' and the NUL. */
struct out {
	char *buf;
	size_t size, len;
};

static void put(struct out *o, const char *fmt, ...)
	__attribute__((format(printf, 2, 3)));
static void put(struct out *o, const char *fmt, ...)
{
	va_list ap;
	size_t room;
	int n;

	if (o->size < 2 || o->len >= o->size - 2)
		return;
	room = o->size - 1 - o->len; /* bytes vsnprintf may write, NUL too */
	va_start(ap, fmt);
	n = vsnprintf(o->buf + o->len, room, fmt, ap);
	va_end(ap);
	if (n < 0)
		return;
	o->len = (size_t)n < room ? o->len + (size_t)n : o->size - 2;
}

static int ret_word(int ret)
{
	return ret < 0 ? -1 : 0;
}

#define PANEL_READ_MAX 1024 /* bytes of one read the trace shows */

size_t qnm_format_trace(char *buf, size_t size, int64_t t_us,
			const struct qnm_event *ev)
{
	struct out o;
	size_t i;

	if (ev->kind == QNM_EV_PINS || size < 2)
		return 0;
	o.buf = buf;
	o.size = size;
	o.len = 0;
	put(&o, "%lld ", (long long)t_us);
	switch (ev->kind) {
	case QNM_EV_REQUEST: {
		const uint32_t *in = ev->u.req.in, *w = ev->u.req.out;

		if (ev->u.req.call != QNM_CALL_NONE)
			put(&o, "ioctl %s", qnm_call_name(ev->u.req.call));
		else
			put(&o, "ioctl 0x%08x", (unsigned int)ev->u.req.code);
		put(&o,
		    " in=0x%08x,0x%08x,0x%08x,0x%08x,0x%08x"
		    " out=0x%08x,0x%08x,0x%08x,0x%08x,0x%08x ret=%d",
		    (unsigned int)in[0], (unsigned int)in[1],
		    (unsigned int)in[2], (unsigned int)in[3],
		    (unsigned int)in[4], (unsigned int)w[0], (unsigned int)w[1],
		    (unsigned int)w[2], (unsigned int)w[3], (unsigned int)w[4],
		    ret_word(ev->u.req.ret));
		break;
	}
	case QNM_EV_BUZZER:
		put(&o, "buzzer %d", ev->u.buzzer.on);
		break;
	case QNM_EV_PANEL_FEED:
		put(&o, "panel-feed ");
		for (i = 0; i < ev->u.panel.len; i++)
			put(&o, i ? " %02x" : "%02x", ev->u.panel.bytes[i]);
		break;
	case QNM_EV_PANEL_DROP:
		put(&o, "panel-drop %lu", (unsigned long)ev->u.panel.len);
		break;
	case QNM_EV_PANEL_READ:
		put(&o, "panel-read ");
		for (i = 0; i < ev->u.panel.len && i < PANEL_READ_MAX; i++)
			put(&o, "%02x", ev->u.panel.bytes[i]);
		break;
	case QNM_EV_CTL_ERROR:
		put(&o, "ctl-error %.*s", (int)ev->u.ctl.len, ev->u.ctl.line);
		break;
	case QNM_EV_SYNC:
		put(&o, "sync");
		break;
	case QNM_EV_RESET:
		put(&o, "reset");
		break;
	case QNM_EV_CLOCK:
		put(&o, "clock sys=%lld rtc=%s", ev->u.clock.sys_s,
		    ev->u.clock.rtc_text);
		break;
	case QNM_EV_TABLE_FULL:
		if (ev->u.full.i2c)
			put(&o, "table-full i2c 0x%02x 0x%08x=0x%08x",
			    (unsigned int)ev->u.full.dev,
			    (unsigned int)ev->u.full.addr,
			    (unsigned int)ev->u.full.val);
		else
			put(&o, "table-full reg 0x%08x=0x%08x",
			    (unsigned int)ev->u.full.addr,
			    (unsigned int)ev->u.full.val);
		break;
	case QNM_EV_PINS:
		break;
	}
	buf[o.len++] = '\n';
	buf[o.len] = 0;
	return o.len;
}

size_t qnm_format_dropped(char *buf, size_t size, int64_t t_us,
			  unsigned long count)
{
	struct out o;

	if (size < 2)
		return 0;
	o.buf = buf;
	o.size = size;
	o.len = 0;
	put(&o, "%lld trace-dropped %lu", (long long)t_us, count);
	buf[o.len++] = '\n';
	buf[o.len] = 0;
	return o.len;
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
	struct out o;
	unsigned int p;

	o.buf = buf;
	o.size = size;
	o.len = 0;
	put(&o,
	    "$date %s $end\n$version qnsim $end\n$timescale 1us $end\n"
	    "$scope module gpio $end\n",
	    date);
	for (p = 0; p < QNM_PINS; p++)
		put(&o, "$var wire 1 %c gpio%u_%u $end\n", vcd_id(p), p >> 3,
		    p & 7u);
	put(&o, "$upscope $end\n$enddefinitions $end\n#0\n$dumpvars\n");
	for (p = 0; p < QNM_PINS; p++)
		put(&o, "%c%c\n", '0' + ((m->pins[p >> 3] >> (p & 7u)) & 1),
		    vcd_id(p));
	put(&o, "$end\n");
	if (size < 2 || o.len >= size - 2)
		return 0; /* cut */
	vcd->last_us = 0;
	return o.len;
}

size_t qnm_format_vcd_change(char *buf, size_t size, struct qnm_vcd *vcd,
			     int64_t t_us, const struct qnm_event *ev)
{
	struct out o;
	unsigned int b;
	uint8_t diff;

	if (ev->kind != QNM_EV_PINS)
		return 0;
	diff = ev->u.pins.old_levels ^ ev->u.pins.levels;
	if (!diff)
		return 0;
	o.buf = buf;
	o.size = size;
	o.len = 0;
	if (t_us > vcd->last_us) {
		put(&o, "#%lld\n", (long long)t_us);
		vcd->last_us = t_us;
	}
	for (b = 0; b < 8; b++)
		if ((diff >> b) & 1)
			put(&o, "%c%c\n", '0' + ((ev->u.pins.levels >> b) & 1),
			    vcd_id(ev->u.pins.bank * 8 + b));
	return o.len;
}
