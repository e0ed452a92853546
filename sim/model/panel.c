/*
 * panel.c - the front panel's byte stream, as /dev/panel delivers it:
 * bytes queue up in the order fed until read, QNM_PANEL_CAP at most.
 */
#include "qnm_impl.h"

size_t qnm_panel_feed(struct qn_model *m, const uint8_t *bytes, size_t n)
{
	struct qnm_event ev;
	size_t room = QNM_PANEL_CAP - m->panel_len, kept = n < room ? n : room;
	size_t i;

	memset(&ev, 0, sizeof(ev));
	ev.kind = QNM_EV_PANEL_FEED;
	ev.u.panel.bytes = bytes;
	ev.u.panel.len = n;
	qnm_emit(m, &ev);
	for (i = 0; i < kept; i++) {
		unsigned int at = m->panel_head + m->panel_len;

		if (at >= QNM_PANEL_CAP)
			at -= QNM_PANEL_CAP;
		m->panel[at] = bytes[i];
		m->panel_len++;
	}
	if (kept < n) {
		memset(&ev, 0, sizeof(ev));
		ev.kind = QNM_EV_PANEL_DROP;
		ev.u.panel.len = n - kept;
		qnm_emit(m, &ev);
	}
	return kept;
}

int qnm_panel_read(struct qn_model *m, uint8_t *buf, size_t n)
{
	int got = 0;

	if (!n)
		return 0;
	if (!m->panel_len)
		return -EAGAIN;
	while (n-- && m->panel_len && got < 0x7FFFFFFF) {
		buf[got++] = m->panel[m->panel_head];
		m->panel_head = m->panel_head + 1 == QNM_PANEL_CAP
					? 0
					: m->panel_head + 1;
		m->panel_len--;
	}
	return got ? got : -EAGAIN;
}

size_t qnm_panel_pending(const struct qn_model *m)
{
	return m->panel_len;
}
