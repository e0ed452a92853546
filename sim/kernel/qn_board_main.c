// SPDX-License-Identifier: GPL-2.0
/*
 * qn_board - the DVR main board's drivers for a board without the hardware.
 *
 * Registers the character devices the bench-test shell opens,
 * /dev/qn_KD300 (SoC registers, board identity, sounder), /dev/tw_286x
 * (I2C bus and NVP6114 video decoders) and /dev/panel (front-panel key
 * bytes), as misc devices, and serves them from the board model in model/.
 * A debugfs folder, qn_board/, holds the control file that pokes the
 * model (pins, registers, panel bytes, fault rules, reset), the trace of
 * every device event and the GPIO waveform (VCD), both time-stamped by the
 * kernel's monotonic clock.
 *
 * The parameters are parsed by the board model's parser of settings (the
 * simulator's QNSIM_* variables go through the same one); a bad one
 * refuses the load with its reason in the kernel log.  The model keeps the
 * settings and re-applies them on every "reset" control line.
 *
 * One mutex serialises everything that touches the model, the trace and the
 * waveform.
 */

#define pr_fmt(fmt) KBUILD_MODNAME ": " fmt

#include <linux/debugfs.h>
#include <linux/fs.h>
#include <linux/miscdevice.h>
#include <linux/module.h>
#include <linux/moduleparam.h>
#include <linux/mutex.h>
#include <linux/poll.h>
#include <linux/rtc.h>
#include <linux/sched.h>
#include <linux/slab.h>
#include <linux/string.h>
#include <linux/timekeeping.h>
#include <linux/uaccess.h>
#include <linux/vmalloc.h>
#include <linux/wait.h>

#include "qn_board.h"

static char *model = "KD3454";
module_param(model, charp, 0444);
MODULE_PARM_DESC(model,
		 "board model: KD3151 ... KD3555 or a number (default KD3454)");

static uint gp_id;
module_param(gp_id, uint, 0444);
MODULE_PARM_DESC(gp_id, "identity word gp_id (default 0)");

static uint mb_version = 1;
module_param(mb_version, uint, 0444);
MODULE_PARM_DESC(mb_version, "main board version (default 1)");

static char *absent[QNM_NODE_COUNT];
static int n_absent;
module_param_array(absent, charp, &n_absent, 0444);
MODULE_PARM_DESC(
	absent,
	"nodes not registered, comma separated: qn_KD300,tw_286x,panel");

static char *i2c[QNM_I2C_DEV_CAP];
static int n_i2c;
/* the addresses in force when none were given, for the parameter to read */
static char i2c_text[QNM_I2C_DEV_CAP][12];
module_param_array(i2c, charp, &n_i2c, 0444);
MODULE_PARM_DESC(i2c,
		 "plain I2C device addresses, comma separated (default 0x50)");

static char *fail[QNM_FAIL_RULE_CAP];
static int n_fail;
module_param_array(fail, charp, &n_fail, 0444);
MODULE_PARM_DESC(fail, "fault rules NAME or NAME@N, comma separated");

static uint trace_kb = 4096;
module_param(trace_kb, uint, 0444);
MODULE_PARM_DESC(trace_kb, "room of the trace file in KiB (default 4096)");

static uint events_kb = 256;
module_param(events_kb, uint, 0444);
MODULE_PARM_DESC(events_kb, "room of the events pipe in KiB (default 256)");

struct qnb_node {
	struct miscdevice misc;
	enum qnm_node node;
	bool registered;
};

static struct qnb {
	struct mutex lock; /* the model, the logs, the control result */
	struct qn_model *m;
	u64 t0_ns;
	struct qnb_log trace;
	struct qnb_log vcd;
	struct qnm_vcd vcd_state;
	char line[QNM_TRACE_MAX]; /* scratch of the observer */
	char ctl_err[128];	  /* reason of the last refused line */
	wait_queue_head_t panel_wait;
	struct dentry *dir;
	struct qnb_node nodes[3];
} qnb;

static int64_t qnb_now_us(void *ctx)
{
	return div_u64(ktime_get_ns() - qnb.t0_ns, NSEC_PER_USEC);
}

/* Called by the model under qnb.lock for every event. */
static void qnb_event(void *ctx, int64_t t_us, const struct qnm_event *ev)
{
	size_t n;

	n = qnm_format_trace(qnb.line, sizeof(qnb.line), t_us, ev);
	if (n && qnb.trace.dropped) {
		/* the trace has room again: say first how much it lost */
		char note[64];
		size_t k = qnm_format_dropped(note, sizeof(note), t_us,
					      QNM_DROPPED_TRACE,
					      qnb.trace.dropped);

		if (k + n <= qnb.trace.cap - qnb.trace.len) {
			qnb.trace.dropped = 0;
			qnb_log_append(&qnb.trace, note, k);
		}
	}
	if (n)
		qnb_log_append(&qnb.trace, qnb.line, n);
	n = qnm_format_vcd_change(qnb.line, sizeof(qnb.line), &qnb.vcd_state,
				  t_us, ev);
	if (n)
		qnb_log_append(&qnb.vcd, qnb.line, n);
	qnb_link_event(t_us, ev);
}

size_t qnb_format_state(char *buf, size_t size)
{
	size_t n;

	mutex_lock(&qnb.lock);
	n = qnm_format_state(buf, size, qnb_now_us(NULL), qnb.m);
	mutex_unlock(&qnb.lock);
	return n;
}

/* Starts the waveform afresh: header with every pin's level now. */
static void qnb_vcd_restart(void)
{
	struct tm tm;
	char date[32];
	size_t n;

	time64_to_tm(ktime_get_real_seconds(), 0, &tm);
	snprintf(date, sizeof(date), "%04ld-%02d-%02d %02d:%02d:%02d",
		 tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
		 tm.tm_min, tm.tm_sec);
	qnb_log_clear(&qnb.vcd);
	qnb.vcd.dropped = 0; /* a waveform starts afresh: nothing to tell */
	n = qnm_format_vcd_header(qnb.line, sizeof(qnb.line), &qnb.vcd_state,
				  date, qnb.m);
	qnb_log_append(&qnb.vcd, qnb.line, n);
}

/* ---- Device nodes ---------------------------------------------------- */

static enum qnm_node qnb_node_of(struct file *file)
{
	struct miscdevice *misc = file->private_data;

	return container_of(misc, struct qnb_node, misc)->node;
}

static long qnb_ioctl(struct file *file, unsigned int cmd, unsigned long arg)
{
	void __user *up = (void __user *)arg;
	enum qnm_node node = qnb_node_of(file);
	u32 w[5];
	bool readable;
	int ret;

	mutex_lock(&qnb.lock);
	/*
	 * The codes declare a size of 4, but every request carries the whole
	 * five-word block: copy all 20 bytes each way.
	 */
	readable = !copy_from_user(w, up, sizeof(w));
	/* an unknown code is refused (-ENOTTY) before its block matters */
	ret = qnm_ioctl(qnb.m, node, cmd, readable ? w : NULL);
	if (!ret && copy_to_user(up, w, sizeof(w)))
		ret = -EFAULT;
	mutex_unlock(&qnb.lock);
	return ret;
}

static ssize_t qnb_panel_read(struct file *file, char __user *buf, size_t count,
			      loff_t *ppos)
{
	struct qnm_event ev = {.kind = QNM_EV_PANEL_READ};
	u8 bytes[64];
	int n;

	if (qnb_node_of(file) != QNM_NODE_PANEL)
		return -EINVAL;
	if (!count)
		return 0;
	for (;;) {
		mutex_lock(&qnb.lock);
		n = qnm_panel_read(qnb.m, bytes, min(count, sizeof(bytes)));
		if (n > 0)
			break;
		mutex_unlock(&qnb.lock);
		if (file->f_flags & O_NONBLOCK)
			return -EAGAIN;
		/*
		 * The condition reads the stream's length without the mutex (a
		 * mutex may not be taken inside the wait): a stale answer only
		 * means one more turn of this loop, which takes the bytes under
		 * the mutex, and every feed wakes the queue after unlocking.
		 */
		if (wait_event_interruptible(qnb.panel_wait,
					     qnm_panel_pending(qnb.m)))
			return -ERESTARTSYS;
	}
	if (copy_to_user(buf, bytes, n)) {
		n = -EFAULT;
	} else {
		ev.u.panel.bytes = bytes;
		ev.u.panel.len = n;
		qnm_emit(qnb.m, &ev);
	}
	mutex_unlock(&qnb.lock);
	return n;
}

static __poll_t qnb_poll(struct file *file, poll_table *wait)
{
	__poll_t mask = 0;

	if (qnb_node_of(file) != QNM_NODE_PANEL)
		return 0;
	poll_wait(file, &qnb.panel_wait, wait);
	mutex_lock(&qnb.lock);
	if (qnm_panel_pending(qnb.m))
		mask = EPOLLIN | EPOLLRDNORM;
	mutex_unlock(&qnb.lock);
	return mask;
}

static const struct file_operations qnb_fops = {
	.owner = THIS_MODULE,
	.unlocked_ioctl = qnb_ioctl,
	.read = qnb_panel_read,
	.poll = qnb_poll,
	.llseek = noop_llseek,
};

/* ---- Control file ---------------------------------------------------- */

/* Traces the system time and the RTC (the kernel's, through rtc0). */
static void qnb_trace_clock(void)
{
	struct qnm_event ev = {.kind = QNM_EV_CLOCK};
	struct rtc_device *rtc = rtc_class_open("rtc0");
	struct rtc_time tm;
	char text[32] = "none";

	if (rtc) {
		if (!rtc_read_time(rtc, &tm))
			snprintf(text, sizeof(text),
				 "%04d-%02d-%02d %02d:%02d:%02d",
				 tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
				 tm.tm_hour, tm.tm_min, tm.tm_sec);
		rtc_class_close(rtc);
	}
	ev.u.clock.sys_s = ktime_get_real_seconds();
	ev.u.clock.rtc_text = text;
	qnm_emit(qnb.m, &ev);
}

/* One line; 0 or a negative errno with its reason in qnb.ctl_err. */
static int qnb_control_line(const char *line, size_t len)
{
	int ret;

	ret = qnm_control(qnb.m, line, len, qnb.ctl_err, sizeof(qnb.ctl_err));
	if (ret == QNM_CTL_CLOCK)
		qnb_trace_clock();
	if (ret > 0)
		ret = 0;
	if (!ret)
		qnb.ctl_err[0] = '\0';
	return ret;
}

#define QNB_CTL_MAX 4096

/*
 * Each write holds whole lines; a last line without its newline counts as
 * a line too. The result is that of the first refused line, if any.
 */
static ssize_t qnb_ctl_write(struct file *file, const char __user *ubuf,
			     size_t count, loff_t *ppos)
{
	char *buf, *p, *nl;
	int ret = 0, r;

	if (count > QNB_CTL_MAX)
		return -EINVAL;
	buf = memdup_user_nul(ubuf, count);
	if (IS_ERR(buf))
		return PTR_ERR(buf);
	mutex_lock(&qnb.lock);
	for (p = buf; p < buf + count; p = nl + 1) {
		nl = strchrnul(p, '\n');
		r = qnb_control_line(p, nl - p);
		if (r && !ret)
			ret = r;
		if (!*nl)
			break;
	}
	mutex_unlock(&qnb.lock);
	wake_up_interruptible(&qnb.panel_wait);
	kfree(buf);
	return ret ? ret : count;
}

/* Reading the control file gives the reason of the last refused line. */
static ssize_t qnb_ctl_read(struct file *file, char __user *ubuf, size_t count,
			    loff_t *ppos)
{
	char text[sizeof(qnb.ctl_err) + 1];
	size_t n;

	mutex_lock(&qnb.lock);
	n = scnprintf(text, sizeof(text), "%s%s", qnb.ctl_err,
		      qnb.ctl_err[0] ? "\n" : "");
	mutex_unlock(&qnb.lock);
	return simple_read_from_buffer(ubuf, count, ppos, text, n);
}

static const struct file_operations qnb_ctl_fops = {
	.owner = THIS_MODULE,
	.open = simple_open,
	.read = qnb_ctl_read,
	.write = qnb_ctl_write,
	.llseek = default_llseek,
};

/* ---- Trace and waveform files ---------------------------------------- */

static ssize_t qnb_log_file_read(struct file *file, char __user *ubuf,
				 size_t count, loff_t *ppos)
{
	struct qnb_log *log = file->private_data;
	ssize_t ret;

	mutex_lock(&qnb.lock);
	ret = qnb_log_read(log, ubuf, count, ppos);
	mutex_unlock(&qnb.lock);
	return ret;
}

/* Opening for writing with truncation (": > trace"), or any write, empties
 * the file; the waveform starts again with its header.
 */
static void qnb_log_truncate(struct qnb_log *log)
{
	mutex_lock(&qnb.lock);
	if (log == &qnb.vcd)
		qnb_vcd_restart();
	else
		qnb_log_clear(log);
	mutex_unlock(&qnb.lock);
}

static int qnb_log_file_open(struct inode *inode, struct file *file)
{
	simple_open(inode, file);
	if ((file->f_mode & FMODE_WRITE) && (file->f_flags & O_TRUNC))
		qnb_log_truncate(file->private_data);
	return 0;
}

static ssize_t qnb_log_file_write(struct file *file, const char __user *ubuf,
				  size_t count, loff_t *ppos)
{
	qnb_log_truncate(file->private_data);
	return count;
}

static const struct file_operations qnb_log_fops = {
	.owner = THIS_MODULE,
	.open = qnb_log_file_open,
	.read = qnb_log_file_read,
	.write = qnb_log_file_write,
	.llseek = default_llseek,
};

/* ---- Settings -------------------------------------------------------- */

/* One parameter's text through the model's parser; a bad entry refuses. */
static int qnb_parse(struct qnm_settings *set, const char *param,
		     enum qnm_setting what, const char *text)
{
	char err[96];

	if (!qnm_settings_parse(set, what, text, strlen(text), err,
				sizeof(err)))
		return 0;
	pr_err("%s: %s\n", param, err);
	return -EINVAL;
}

static int qnb_parse_array(struct qnm_settings *set, const char *param,
			   enum qnm_setting what, char **items, int n)
{
	int i, ret;

	for (i = 0; i < n; i++) {
		ret = qnb_parse(set, param, what, items[i]);
		if (ret)
			return ret;
	}
	return 0;
}

/* No i2c= given: the parameter reads the model's default devices. */
static void qnb_show_default_i2c(const struct qnm_settings *set)
{
	unsigned int k;

	for (k = 0; k < set->ni2c && k < ARRAY_SIZE(i2c); k++) {
		snprintf(i2c_text[k], sizeof(i2c_text[k]), "0x%02x",
			 set->i2c[k]);
		i2c[k] = i2c_text[k];
	}
	n_i2c = k;
}

static int qnb_settings(struct qnm_settings *set)
{
	int ret;

	qnm_settings_init(set, NULL, 0);
	/* the RTC is the kernel's own driver: its calls never come here */
	set->foreign[QNM_NODE_RTC] = 1;
	set->gp_id = gp_id;
	set->mb_version = mb_version;
	ret = qnb_parse(set, "model", QNM_SET_MODEL, model);
	if (!ret)
		ret = qnb_parse_array(set, "absent", QNM_SET_ABSENT, absent,
				      n_absent);
	if (!ret && n_i2c)
		ret = qnb_parse_array(set, "i2c", QNM_SET_I2C, i2c, n_i2c);
	else if (!ret)
		qnb_show_default_i2c(set);
	if (!ret)
		ret = qnb_parse_array(set, "fail", QNM_SET_FAIL, fail, n_fail);
	if (!ret && set->absent[QNM_NODE_RTC]) {
		pr_err("absent: rtc is the kernel's own driver, not this "
		       "module's\n");
		ret = -EINVAL;
	}
	return ret;
}

/* ---- Module life cycle ----------------------------------------------- */

static void qnb_unregister(void)
{
	int i;

	for (i = 0; i < ARRAY_SIZE(qnb.nodes); i++) {
		if (qnb.nodes[i].registered)
			misc_deregister(&qnb.nodes[i].misc);
		qnb.nodes[i].registered = false;
	}
}

static void qnb_free(void)
{
	debugfs_remove_recursive(qnb.dir);
	qnb.dir = NULL;
	qnb_log_free(&qnb.trace);
	qnb_log_free(&qnb.vcd);
	qnb_link_free();
	vfree(qnb.m);
	qnb.m = NULL;
}

static int __init qnb_init(void)
{
	static const enum qnm_node served[] = {QNM_NODE_KD, QNM_NODE_TW,
					       QNM_NODE_PANEL};
	struct qnm_observer obs = {
		.now_us = qnb_now_us,
		.event = qnb_event,
	};
	struct qnm_settings *set;
	int i, ret;

	mutex_init(&qnb.lock);
	init_waitqueue_head(&qnb.panel_wait);
	qnb.t0_ns = ktime_get_ns();
	set = kmalloc(sizeof(*set), GFP_KERNEL);
	if (!set)
		return -ENOMEM;
	ret = qnb_settings(set);
	if (ret)
		goto free_set;

	ret = -ENOMEM;
	qnb.m = vzalloc(sizeof(*qnb.m));
	if (!qnb.m)
		goto free_set;
	if (qnb_log_init(&qnb.trace, (size_t)trace_kb * 1024) ||
	    qnb_log_init(&qnb.vcd, QNB_VCD_SIZE))
		goto fail;
	ret = qnm_power_on(qnb.m, set);
	if (ret) {
		pr_err("the board refuses its settings (%d)\n", ret);
		goto fail;
	}
	qnm_set_observer(qnb.m, &obs);
	qnb_vcd_restart();

	qnb.dir = debugfs_create_dir("qn_board", NULL);
	debugfs_create_file("ctl", 0600, qnb.dir, NULL, &qnb_ctl_fops);
	debugfs_create_file("trace", 0600, qnb.dir, &qnb.trace, &qnb_log_fops);
	debugfs_create_file("vcd", 0600, qnb.dir, &qnb.vcd, &qnb_log_fops);
	ret = qnb_link_init(qnb.dir, (size_t)max(events_kb, 1u) * 1024);
	if (ret)
		goto fail;

	for (i = 0; i < ARRAY_SIZE(served); i++) {
		struct qnb_node *n = &qnb.nodes[i];

		n->node = served[i];
		if (set->absent[n->node])
			continue;
		n->misc.minor = MISC_DYNAMIC_MINOR;
		n->misc.name = qnm_node_name(n->node);
		n->misc.fops = &qnb_fops;
		n->misc.mode = 0600;
		ret = misc_register(&n->misc);
		if (ret)
			goto fail_nodes;
		n->registered = true;
	}
	pr_info("board model 0x%08x, gp_id %u, mb_version %u\n", set->model,
		set->gp_id, set->mb_version);
	kfree(set);
	return 0;

fail_nodes:
	qnb_unregister();
fail:
	qnb_free();
free_set:
	kfree(set);
	return ret;
}

static void __exit qnb_exit(void)
{
	qnb_unregister();
	qnb_free();
}

module_init(qnb_init);
module_exit(qnb_exit);

MODULE_DESCRIPTION("DVR main board drivers served by the board model");
MODULE_AUTHOR("qn_shell developers");
MODULE_LICENSE("GPL");
