// SPDX-License-Identifier: GPL-2.0
/*
 * qn_board_link.c - the board link's files in the driver's debugfs folder.
 *
 * events: every event as the trace file shows it, plus "T pins BANK LL" for
 * each change of a bank's levels, in a bounded in-memory pipe. Readers take
 * lines once (as the kernel's trace_pipe); a read waits for a line unless
 * the file was opened non-blocking; poll works. A line that finds the pipe
 * full is dropped and counted; once a read has made room, one line
 * "T dropped N" says how many (T: the time of the last line lost). Any
 * write, or an open for writing with truncation, empties the pipe.
 *
 * state: a read gives the board's snapshot (qnm_format_state), taken when
 * the file is opened.
 */

#include <linux/debugfs.h>
#include <linux/fs.h>
#include <linux/mutex.h>
#include <linux/poll.h>
#include <linux/slab.h>
#include <linux/uaccess.h>
#include <linux/vmalloc.h>
#include <linux/wait.h>

#include "qn_board.h"

static struct {
	struct mutex lock; /* the pipe; taken inside the board's lock */
	wait_queue_head_t wait;
	char *buf;
	size_t cap, head, len; /* ring: len bytes from head */
	unsigned long dropped;
	long long dropped_t;
	char line[QNM_TRACE_MAX]; /* scratch of the observer */
} qnl;

static size_t qnl_room(void)
{
	return qnl.cap - qnl.len;
}

static void qnl_put(const char *text, size_t n)
{
	size_t tail = (qnl.head + qnl.len) % qnl.cap;
	size_t first = min(n, qnl.cap - tail);

	memcpy(qnl.buf + tail, text, first);
	memcpy(qnl.buf, text + first, n - first);
	qnl.len += n;
}

/* Puts the count of lost lines in the pipe when it fits. Lock held. */
static void qnl_flush_dropped(void)
{
	char msg[64];
	int n;

	if (!qnl.dropped)
		return;
	n = snprintf(msg, sizeof(msg), "%lld dropped %lu\n", qnl.dropped_t,
		     qnl.dropped);
	if (n > 0 && (size_t)n < sizeof(msg) && (size_t)n <= qnl_room()) {
		qnl_put(msg, n);
		qnl.dropped = 0;
	}
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
		if (qnl.dropped || n > qnl_room()) {
			qnl.dropped++;
			qnl.dropped_t = t_us;
		} else {
			qnl_put(qnl.line, n);
		}
	}
	mutex_unlock(&qnl.lock);
	if (n)
		wake_up_interruptible(&qnl.wait);
}

static ssize_t qnl_events_read(struct file *file, char __user *ubuf,
			       size_t count, loff_t *ppos)
{
	size_t n, first;
	int ret;

	if (!count)
		return 0;
	for (;;) {
		mutex_lock(&qnl.lock);
		if (qnl.len)
			break;
		mutex_unlock(&qnl.lock);
		if (file->f_flags & O_NONBLOCK)
			return -EAGAIN;
		ret = wait_event_interruptible(qnl.wait, READ_ONCE(qnl.len));
		if (ret)
			return ret;
	}
	n = min(count, qnl.len);
	first = min(n, qnl.cap - qnl.head);
	if (copy_to_user(ubuf, qnl.buf + qnl.head, first) ||
	    copy_to_user(ubuf + first, qnl.buf, n - first)) {
		mutex_unlock(&qnl.lock);
		return -EFAULT;
	}
	qnl.head = (qnl.head + n) % qnl.cap;
	qnl.len -= n;
	qnl_flush_dropped();
	mutex_unlock(&qnl.lock);
	return n;
}

static void qnl_empty(void)
{
	mutex_lock(&qnl.lock);
	qnl.head = 0;
	qnl.len = 0;
	qnl.dropped = 0;
	mutex_unlock(&qnl.lock);
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
	return READ_ONCE(qnl.len) ? EPOLLIN | EPOLLRDNORM : 0;
}

static const struct file_operations qnl_events_fops = {
	.owner = THIS_MODULE,
	.open = qnl_events_open,
	.read = qnl_events_read,
	.write = qnl_events_write,
	.poll = qnl_events_poll,
	.llseek = no_llseek,
};

struct qnl_snapshot {
	size_t len;
	char text[QNM_STATE_MAX];
};

static int qnl_state_open(struct inode *inode, struct file *file)
{
	struct qnl_snapshot *s = kmalloc(sizeof(*s), GFP_KERNEL);

	if (!s)
		return -ENOMEM;
	s->len = qnb_format_state(s->text, sizeof(s->text));
	file->private_data = s;
	return 0;
}

static ssize_t qnl_state_read(struct file *file, char __user *ubuf,
			      size_t count, loff_t *ppos)
{
	struct qnl_snapshot *s = file->private_data;

	return simple_read_from_buffer(ubuf, count, ppos, s->text, s->len);
}

static int qnl_state_release(struct inode *inode, struct file *file)
{
	kfree(file->private_data);
	return 0;
}

static const struct file_operations qnl_state_fops = {
	.owner = THIS_MODULE,
	.open = qnl_state_open,
	.read = qnl_state_read,
	.release = qnl_state_release,
	.llseek = default_llseek,
};

int qnb_link_init(struct dentry *dir, size_t cap)
{
	mutex_init(&qnl.lock);
	init_waitqueue_head(&qnl.wait);
	qnl.buf = vmalloc(cap);
	if (!qnl.buf)
		return -ENOMEM;
	qnl.cap = cap;
	qnl.head = 0;
	qnl.len = 0;
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
