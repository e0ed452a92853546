/* SPDX-License-Identifier: GPL-2.0 */
/*
 * qn_board.h - shared parts of the board driver module.
 */
#ifndef QN_BOARD_H
#define QN_BOARD_H

#include <linux/types.h>

#include "model/qn_model.h"

/* Room of the waveform file. */
#define QNB_VCD_SIZE (1024 * 1024)

/*
 * An append-only text file in memory (trace, waveform). A line that finds
 * no room is dropped whole and counted; emptying the file makes room again.
 * The caller serialises every call.
 */
struct qnb_log {
	char *buf;
	size_t len, cap;
	unsigned long dropped;
};

int qnb_log_init(struct qnb_log *log, size_t cap);
void qnb_log_free(struct qnb_log *log);
void qnb_log_clear(struct qnb_log *log);
void qnb_log_append(struct qnb_log *log, const char *text, size_t n);
ssize_t qnb_log_read(struct qnb_log *log, char __user *ubuf, size_t count,
		     loff_t *ppos);

/* qn_board_link.c: debugfs "events" and "state" of the board link. */
struct dentry;
int qnb_link_init(struct dentry *dir, size_t cap);
void qnb_link_free(void);
void qnb_link_event(int64_t t_us, const struct qnm_event *ev);
/* qn_board_main.c: the snapshot, taken under the board's lock. */
size_t qnb_format_state(char *buf, size_t size);

#endif /* QN_BOARD_H */
