// SPDX-License-Identifier: GPL-2.0
/*
 * qn_board_log.c - the in-memory trace and waveform files.
 */

#include <linux/fs.h>
#include <linux/string.h>
#include <linux/vmalloc.h>

#include "qn_board.h"

int qnb_log_init(struct qnb_log *log, size_t cap)
{
	log->buf = vmalloc(cap);
	log->cap = log->buf ? cap : 0;
	log->len = 0;
	log->dropped = 0;
	return log->buf ? 0 : -ENOMEM;
}

void qnb_log_free(struct qnb_log *log)
{
	vfree(log->buf);
	log->buf = NULL;
	log->cap = 0;
	log->len = 0;
}

void qnb_log_clear(struct qnb_log *log)
{
	log->len = 0; /* the count of dropped lines stays, to be told */
}

void qnb_log_append(struct qnb_log *log, const char *text, size_t n)
{
	if (n > log->cap - log->len) {
		log->dropped++;
		return;
	}
	memcpy(log->buf + log->len, text, n);
	log->len += n;
}

ssize_t qnb_log_read(struct qnb_log *log, char __user *ubuf, size_t count,
		     loff_t *ppos)
{
	return simple_read_from_buffer(ubuf, count, ppos, log->buf, log->len);
}
