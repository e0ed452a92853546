// SPDX-License-Identifier: GPL-2.0
/*
 * qn_board_link.c - the board link's files in the driver's debugfs folder.
 *
 * events: every event as the trace file shows it, plus "T pins BANK LL" for
 * each change of a bank's levels, in a bounded in-memory pipe (a kfifo of
 * events_kb KiB rounded up to a power of two). Readers take lines once (as
 * the kernel's trace_pipe); a read waits for a line unless the file was
 * opened non-blocking; poll works. A line that finds the pipe full is
 * dropped and counted; once a read has made room, one line "T dropped N"
 * says how many (T: the time of the last line lost). Any write, or an open
 * for writing with truncation, empties the pipe.
 *
 * Locking: the kfifo has one producer side and one consumer side, which need
 * no lock between them. Lines go in under qnl.lock (taken by the observer
 * inside the board's lock, and by a reader putting the note of lost lines);
 * readers take them out under qnl.read_lock alone, so a reader whose buffer
 * faults in copy_to_user stalls other readers, never a board request.
 * Emptying the pipe takes both.
 *
 * state: the board's snapshot (qnm_format_state), taken at the first read.
 */
#include <linux/debugfs.h>
#include <linux/fs.h>
#include <linux/kfifo.h>
#include <linux/log2.h>
#include <linux/mutex.h>
#include <linux/poll.h>
#include <linux/seq_file.h>
#include <linux/slab.h>
#include <linux/uaccess.h>
#include <linux/vmalloc.h>
#include <linux/wait.h>

#include "qn_board.h"

static struct {
	struct mutex lock;	/* producer side: lines in, the drop count */
	struct mutex read_lock; /* consumer side: one reader at a time */
	wait_queue_head_t wait;
	DECLARE_KFIFO_PTR(fifo, char);
	char *buf; /* the kfifo's storage */
	unsigned long dropped;
	long long dropped_t;
	char line[QNM_TRACE_MAX]; /* scratch of the observer */
} qnl;

/* A whole line into the pipe, or nothing. qnl.lock held. */
static bool qnl_put(const char *text, size_t n)
{
	if (n > kfifo_avail(&qnl.fifo))
		return false;
	kfifo_in(&qnl.fifo, text, n);
	return true;
}

/* Puts the count of lost lines in the pipe when it fits. qnl.lock held. */
static void qnl_flush_dropped(void)
{
	char msg[64];
	size_t n;

	if (!qnl.dropped)
		return;
	n = qnm_format_dropped(msg, sizeof(msg), qnl.dropped_t,
			       QNM_DROPPED_LINK, qnl.dropped);
	if (n && qnl_put(msg, n))
		qnl.dropped = 0;
}

/* The observer's fan-out, called under the board's lock. */
void qnb_link_event(int64_t t_us, const struct qnm_event *ev)
{
	size_t n;

	if (!qnl.buf)
		return;
	mutex_lock(&qnl.lock);
	if (ev->kind == QNM_EV_PINS)
		n = qnm_format_pins(qnl.line, sizeof(qnl.line), t_us, ev);
	else
		n = qnm_format_trace(qnl.line, sizeof(qnl.line), t_us, ev);
	if (n) {
		qnl_flush_dropped();
		if (qnl.dropped || !qnl_put(qnl.line, n)) {
			qnl.dropped++;
			qnl.dropped_t = t_us;
		}
	}
	mutex_unlock(&qnl.lock);
	if (n)
		wake_up_interruptible(&qnl.wait);
}

static ssize_t qnl_events_read(struct file *file, char __user *ubuf,
			       size_t count, loff_t *ppos)
{
	unsigned int copied = 0;
	int ret;

	if (!count)
		return 0;
	for (;;) {
		if (mutex_lock_interruptible(&qnl.read_lock))
			return -ERESTARTSYS;
		if (!kfifo_is_empty(&qnl.fifo))
			break;
		mutex_unlock(&qnl.read_lock);
		if (file->f_flags & O_NONBLOCK)
			return -EAGAIN;
		ret = wait_event_interruptible(qnl.wait,
					       !kfifo_is_empty(&qnl.fifo));
		if (ret)
			return ret;
	}
	ret = kfifo_to_user(&qnl.fifo, ubuf, min_t(size_t, count, INT_MAX),
			    &copied);
	mutex_unlock(&qnl.read_lock);
	if (copied) {
		/* room was made: the count of lost lines follows them */
		mutex_lock(&qnl.lock);
		qnl_flush_dropped();
		mutex_unlock(&qnl.lock);
	}
	return copied ? copied : ret;
}

static void qnl_empty(void)
{
	mutex_lock(&qnl.read_lock);
	mutex_lock(&qnl.lock);
	kfifo_reset(&qnl.fifo);
	qnl.dropped = 0;
	mutex_unlock(&qnl.lock);
	mutex_unlock(&qnl.read_lock);
}

/* Opening for writing with truncation (": > events") empties the pipe. */
static int qnl_events_open(struct inode *inode, struct file *file)
{
	if ((file->f_mode & FMODE_WRITE) && (file->f_flags & O_TRUNC))
		qnl_empty();
	return nonseekable_open(inode, file);
}

static ssize_t qnl_events_write(struct file *file, const char __user *ubuf,
				size_t count, loff_t *ppos)
{
	qnl_empty();
	return count;
}

static __poll_t qnl_events_poll(struct file *file, poll_table *wait)
{
	poll_wait(file, &qnl.wait, wait);
	return kfifo_is_empty(&qnl.fifo) ? 0 : EPOLLIN | EPOLLRDNORM;
}

static const struct file_operations qnl_events_fops = {
	.owner = THIS_MODULE,
	.open = qnl_events_open,
	.read = qnl_events_read,
	.write = qnl_events_write,
	.poll = qnl_events_poll,
	.llseek = no_llseek,
};

static int qnl_state_show(struct seq_file *m, void *v)
{
	char *text = kmalloc(QNM_STATE_MAX, GFP_KERNEL);

	if (!text)
		return -ENOMEM;
	seq_write(m, text, qnb_format_state(text, QNM_STATE_MAX));
	kfree(text);
	return 0;
}
DEFINE_SHOW_ATTRIBUTE(qnl_state);

int qnb_link_init(struct dentry *dir, size_t cap)
{
	size_t size = roundup_pow_of_two(max_t(size_t, cap, 2));
	int ret;

	mutex_init(&qnl.lock);
	mutex_init(&qnl.read_lock);
	init_waitqueue_head(&qnl.wait);
	qnl.buf = vmalloc(size);
	if (!qnl.buf)
		return -ENOMEM;
	ret = kfifo_init(&qnl.fifo, qnl.buf, size);
	if (ret) {
		qnb_link_free();
		return ret;
	}
	qnl.dropped = 0;
	debugfs_create_file("events", 0600, dir, NULL, &qnl_events_fops);
	debugfs_create_file("state", 0400, dir, NULL, &qnl_state_fops);
	return 0;
}

/* After the debugfs folder is gone (no reader left: each pins the module). */
void qnb_link_free(void)
{
	vfree(qnl.buf);
	qnl.buf = NULL;
}
