/*
 * qn_model.h - the DVR main board's hardware, as the board drivers see it.
 *
 * One struct qn_model holds the whole board: the Hi3520D's register space
 * (GPIO controller with masked data registers, DDR controller, plain
 * storage), the board identity, the sounder, the I2C bus behind tw_286x
 * with its two NVP6114 decoders and plain register devices, the front
 * panel's byte stream and the fault rules.  The caller owns the struct and
 * serialises every call on it (one lock around each call); the model
 * allocates nothing, keeps no globals and never sleeps.
 *
 * Requests take the five-word block by value-result (uint32_t w[5]); the
 * transport copies it from and back to its caller's memory.  Every event
 * of the board leaves the model through one observer, time-stamped by the
 * caller's clock; qnm_format_trace() and the VCD formatters below turn
 * events into the lines both stand-ins print.  What happens around the
 * board in a transport (descriptors, sleeps, the system clock) is the
 * transport's own business and its own trace lines.
 *
 * The transports' settings (board identity, nodes, I2C devices, fault
 * rules, initial pins and registers) are parsed here too, once for both,
 * into a struct qnm_settings that power-on and every reset apply.
 *
 * Numbers here are the model's own copy of the driver interface: it checks
 * the product, so it never includes the product's headers.
 */
#ifndef QN_MODEL_H
#define QN_MODEL_H

#include "qn_port.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Board constants ------------------------------------------------- */

#define QNM_GPIO_BASE 0x20150000u /* bank n at base + n * stride */
#define QNM_GPIO_STRIDE 0x10000u
#define QNM_GPIO_BANKS 9 /* banks 0-8, eight pins each */
#define QNM_PINS (QNM_GPIO_BANKS * 8)
#define QNM_DDR_BASE 0x20110000u /* DDR controller, 0x20110000-0x2011FFFF */
#define QNM_DDR_SIZE 0x10000u

#define QNM_MODEL_KD3151 0x20D97001u  /* ... KD3555 = 0x20D97005 */
#define QNM_MODEL_DEFAULT 0x20D97004u /* KD3454 */

#define QNM_NVP_CHIPS 2	    /* NVP6114 decoders ... */
#define QNM_NVP_ADDR0 0x60u /* ... at bus addresses 0x60 and 0x62 */
#define QNM_NVP_ADDR1 0x62u
#define QNM_NVP_BANKS 16 /* 256 registers a bank; 0xFF selects */

#define QNM_I2C_SEL_PLAIN 100u /* w0 of I2C_REG_*: plain device */
#define QNM_I2C_SEL_NVP 0u     /* w0 of I2C_REG_*: decoder bank register */

/* ---- Capacities of the fixed tables ---------------------------------- */

/* Sparse SoC registers outside the GPIO data registers (GPIO offsets
 * 0x400 and up, DDR controller, everything else).  A register that reads
 * 0 needs no entry; a write to a new address when the table is full is
 * refused with a "table-full reg ..." trace line. */
#define QNM_REG_CAP 256
/* Plain I2C devices on the bus, and registers stored per device (likewise
 * refused with "table-full i2c ..." when full). */
#define QNM_I2C_DEV_CAP 8
#define QNM_I2C_REG_CAP 128
/* Front-panel bytes fed and not yet read; the excess of a feed is dropped
 * with a "panel-drop N" line. */
#define QNM_PANEL_CAP 4096
/* Bytes one "panel" control line may carry. */
#define QNM_PANEL_LINE_MAX 512
/* Longest trace line including its '\n' (longer ones are cut). */
#define QNM_TRACE_MAX 4096
/* Room qnm_format_vcd_header() needs. */
#define QNM_VCD_HEADER_MAX 4096

/* Fixed tables of struct qnm_settings. */
#define QNM_SET_REG_CAP 32  /* initial SoC registers */
#define QNM_FAIL_RULE_CAP 8 /* fault rules of the settings */
/* Fault-rule names a transport adds for calls it serves outside the board
 * (e.g. the system clock), after the board's own calls. */
#define QNM_EXTRA_CALLS 2

/* ---- Nodes and requests ---------------------------------------------- */

/* The request codes of the board's drivers. */
#define QNM_CODE_REG_ACCESS 0xC00456C9u	   /* QN_REG_ACCESS on qn_KD300 */
#define QNM_CODE_GET_MBINFO 0xC00456D8u	   /* QN_GET_MBINFO on qn_KD300 */
#define QNM_CODE_BUZZER 0x400456D1u	   /* QN_BUZZER on qn_KD300 */
#define QNM_CODE_I2C_REG_READ 0xC00448CFu  /* I2C_REG_READ on tw_286x */
#define QNM_CODE_I2C_REG_WRITE 0xC00448D0u /* I2C_REG_WRITE on tw_286x */
#define QNM_CODE_RTC_SET_TIME 0x4024700Au  /* RTC_SET_TIME on rtc */

enum qnm_node {
	QNM_NODE_KD,	/* /dev/qn_KD300: registers, identity, sounder */
	QNM_NODE_TW,	/* /dev/tw_286x: I2C bus and video decoders */
	QNM_NODE_PANEL, /* /dev/panel: front-panel byte stream */
	QNM_NODE_RTC,	/* /dev/rtc: served by the transport's clock */
	QNM_NODE_COUNT
};

/* Calls that can be counted and made to fail (fault rule names in
 * comments).  The first five are block requests served by qnm_ioctl();
 * RTC_SET_TIME is served by the transport's clock, which asks
 * qnm_fault_due() whether to refuse it. */
enum qnm_call {
	QNM_CALL_NONE = -1, /* a code no driver on that node serves */
	QNM_CALL_REG,	    /* QN_REG_ACCESS  0xC00456C9 on qn_KD300 */
	QNM_CALL_MBINFO,    /* QN_GET_MBINFO  0xC00456D8 on qn_KD300 */
	QNM_CALL_BUZZER,    /* QN_BUZZER      0x400456D1 on qn_KD300 */
	QNM_CALL_I2C_RD,    /* I2C_REG_READ   0xC00448CF on tw_286x */
	QNM_CALL_I2C_WR,    /* I2C_REG_WRITE  0xC00448D0 on tw_286x */
	QNM_CALL_RTC_SET,   /* RTC_SET_TIME   0x4024700A on rtc */
	QNM_CALL_COUNT
};
#define QNM_BLOCK_CALLS 5 /* QNM_CALL_REG .. QNM_CALL_I2C_WR */
/* Fault-rule slots: the board's calls, then the transport's extra names
 * (slot QNM_CALL_COUNT + i is extra name i). */
#define QNM_FAULT_SLOTS (QNM_CALL_COUNT + QNM_EXTRA_CALLS)

/* Node names ("qn_KD300", "tw_286x", "panel", "rtc") and paths
 * ("/dev/qn_KD300", ...); NULL for a bad node. */
const char *qnm_node_name(enum qnm_node node);
const char *qnm_node_path(enum qnm_node node);
/* Node by name (case-insensitive) or by path; -1 if none. */
int qnm_node_by_name(const char *name, size_t len);
int qnm_node_by_path(const char *path);

/* Call names as fault rules and the trace spell them ("QN_REG_ACCESS",
 * ..., "RTC_SET_TIME"); NULL for a bad call. */
const char *qnm_call_name(enum qnm_call call);
/* The request code of a call (0 for a bad call). */
uint32_t qnm_call_code(enum qnm_call call);
/* Call by name, case-insensitive; QNM_CALL_NONE if none. */
enum qnm_call qnm_call_by_name(const char *name, size_t len);
/* The call a request code on a node asks for; QNM_CALL_NONE when no
 * driver serves that code on that node (the transport answers -ENOTTY).
 * Codes above 32 bits never match. */
enum qnm_call qnm_call_of(enum qnm_node node, unsigned long code);

/* Board model code by name, "KD3151" ... "KD3555" (case-insensitive);
 * 0 if the name is none of them. */
uint32_t qnm_model_by_name(const char *name, size_t len);

/* ---- Events ----------------------------------------------------------- */

enum qnm_event_kind {
	QNM_EV_REQUEST, /* ioctl NAME in=... out=... ret=R */
	QNM_EV_BUZZER,	/* buzzer L */
	QNM_EV_PINS,	/* a bank's levels changed (VCD only, no trace line) */
	QNM_EV_PANEL_FEED, /* panel-feed HH HH ... */
	QNM_EV_PANEL_DROP, /* panel-drop N */
	QNM_EV_PANEL_READ, /* panel-read HHHH... (transport: bytes handed out)
			    */
	QNM_EV_CTL_ERROR,  /* ctl-error LINE */
	QNM_EV_SYNC,	   /* sync */
	QNM_EV_RESET,	   /* reset */
	QNM_EV_CLOCK,	   /* clock sys=S rtc=TEXT (transport) */
	QNM_EV_TABLE_FULL  /* table-full reg ADDR=VAL | table-full i2c DEV
			      REG=VAL */
};

/* One event; only the member of u named after the kind is meaningful.
 * Pointers stay valid for the observer call only. */
struct qnm_event {
	enum qnm_event_kind kind;
	union {
		struct {		    /* REQUEST */
			enum qnm_call call; /* the call the code names, on any
					     * node; QNM_CALL_NONE: none */
			uint32_t code;	    /* the code as issued */
			uint32_t in[5], out[5];
			int ret; /* 0 or -errno */
		} req;
		struct { /* BUZZER */
			int on;
		} buzzer;
		struct { /* PINS */
			unsigned int bank;
			uint8_t old_levels, levels;
		} pins;
		struct { /* PANEL_FEED, PANEL_READ (bytes); PANEL_DROP (len) */
			const uint8_t *bytes;
			size_t len;
		} panel;
		struct { /* CTL_ERROR: the line as given, without its newline */
			const char *line;
			size_t len;
		} ctl;
		struct {		 /* CLOCK */
			long long sys_s; /* system time, epoch seconds */
			const char
				*rtc_text; /* RTC, "YYYY-MM-DD HH:MM:SS" UTC */
		} clock;
		struct {	 /* TABLE_FULL */
			int i2c; /* 0: register table, 1: I2C device's table */
			uint32_t dev; /* I2C device address */
			uint32_t addr, val;
		} full;
	} u;
};

/* The caller's observer: now_us() is the caller's clock in microseconds
 * (trace and waveform time), event() receives every event with the time
 * now_us() gave for it.  Either may be NULL. */
struct qnm_observer {
	void *ctx;
	int64_t (*now_us)(void *ctx);
	void (*event)(void *ctx, int64_t t_us, const struct qnm_event *ev);
};

/* ---- Settings --------------------------------------------------------- */

struct qnm_reg_entry {
	uint32_t addr, val;
};

/* A fault rule: call number `from` on (1 = every call) of a slot fails. */
struct qnm_fault {
	unsigned int slot; /* enum qnm_call, or QNM_CALL_COUNT + extra name */
	uint32_t from;
};

/* What a transport's settings ask of the board, parsed by
 * qnm_settings_parse() and applied by qnm_power_on() and every reset. */
struct qnm_settings {
	uint32_t model, gp_id, mb_version; /* identity (QN_GET_MBINFO) */
	/* nodes that do not exist / exist but cannot be opened (the
	 * transport's business: the model only parses them) */
	uint8_t absent[QNM_NODE_COUNT], denied[QNM_NODE_COUNT];
	unsigned int ni2c; /* plain I2C devices */
	uint32_t i2c[QNM_I2C_DEV_CAP];
	int i2c_given; /* the default list (0x50) was replaced */
	unsigned int nfail;
	struct qnm_fault fail[QNM_FAIL_RULE_CAP];
	unsigned int npins; /* set in order */
	struct {
		uint8_t bank, bit, level;
	} pins[QNM_PINS];
	unsigned int nregs; /* written in order, after the pins */
	struct qnm_reg_entry regs[QNM_SET_REG_CAP];
	/* fault-rule names of the transport's own calls (static strings) */
	const char *extra_calls[QNM_EXTRA_CALLS];
	/* nodes another driver serves (a kernel's own RTC): the transport
	 * never sees their calls, so their names take no fault rule */
	uint8_t foreign[QNM_NODE_COUNT];
};

/* What qnm_settings_parse() reads; the names are those error texts use. */
enum qnm_setting {
	QNM_SET_MODEL,	    /* "KD3151" ... "KD3555" or a number */
	QNM_SET_GP_ID,	    /* a number */
	QNM_SET_MB_VERSION, /* a number */
	QNM_SET_ABSENT,	    /* node names, comma separated */
	QNM_SET_DENIED,	    /* node names, comma separated */
	QNM_SET_I2C,	    /* plain device addresses, comma separated */
	QNM_SET_FAIL,	    /* NAME or NAME@N, comma separated */
	QNM_SET_PINS,	    /* B_b=L, comma separated */
	QNM_SET_REGS	    /* ADDR=VAL, comma separated */
};

/* The defaults: KD3454, gp_id 0, mb_version 1, every node there, one
 * plain I2C device at 0x50, no fault rules, pins and registers as at
 * power-on; extra_calls (may be NULL) are the transport's own fault-rule
 * names, at most QNM_EXTRA_CALLS. */
void qnm_settings_init(struct qnm_settings *s, const char *const *extra_calls,
		       unsigned int nextra);
/* Parses one setting's text into s.  Lists are comma separated; blanks
 * around an item are ignored, empty items skipped.  Lists add to what s
 * holds, but the first I2C list replaces the default device.  Numbers as
 * C literals (0x.. hex, 0.. octal, else decimal), at most 32 bits.
 * Returns 0, or -EINVAL with the first bad entry in err ("bad fault rule
 * 'X'"; errsize bytes, NUL terminated) when err is not NULL; the good
 * entries of the text are kept. */
int qnm_settings_parse(struct qnm_settings *s, enum qnm_setting what,
		       const char *text, size_t len, char *err, size_t errsize);

/* ---- State ------------------------------------------------------------ */

struct qnm_i2c_dev {
	uint32_t addr;
	unsigned int nregs;
	struct qnm_reg_entry regs[QNM_I2C_REG_CAP];
};

struct qnm_nvp {
	uint8_t reg[QNM_NVP_BANKS][256];
	uint8_t select; /* register 0xFF: bank of plain accesses */
};

/* The whole board.  Treat the members as private: use the functions. */
struct qn_model {
	/* identity, as reported by QN_GET_MBINFO */
	uint32_t model, gp_id, mb_version;
	int buzzer;
	uint8_t pins[QNM_GPIO_BANKS]; /* GPIO levels, bit b = pin b */
	unsigned int nregs;
	struct qnm_reg_entry regs[QNM_REG_CAP];
	unsigned int ni2c;
	struct qnm_i2c_dev i2c[QNM_I2C_DEV_CAP];
	struct qnm_nvp nvp[QNM_NVP_CHIPS];
	/* panel stream: a ring of QNM_PANEL_CAP bytes */
	unsigned int panel_head, panel_len;
	uint8_t panel[QNM_PANEL_CAP];
	uint8_t panel_line[QNM_PANEL_LINE_MAX]; /* scratch of qnm_control() */
	/* fault rules: 0 never fails, N fails from the Nth call on */
	uint32_t fail_from[QNM_FAULT_SLOTS];
	uint32_t calls[QNM_FAULT_SLOTS];
	struct qnm_settings settings; /* applied at power-on and reset */
	struct qnm_observer obs;
};

/* ---- Life cycle ------------------------------------------------------- */

/* Power-on state: all registers 0 but the DDR controller's (0x2011002C =
 * 0x22, 0x2011001C = 0x10: 256 MB), all pins low, decoders seeded (bank b
 * register r holds (r + 0x11 * b) & 0xFF, selects 0), no plain I2C
 * device, panel stream empty, no fault rules, no observer.  The settings
 * kept for reset are those of the identity alone. */
void qnm_init(struct qn_model *m, uint32_t model, uint32_t gp_id,
	      uint32_t mb_version);
/* Power-on with a transport's settings: qnm_init() with their identity,
 * then their I2C devices, fault rules, pins and registers (in that order),
 * and the settings kept for every reset.  Emits nothing (no observer yet).
 * 0, or the first refusal of a poke (-ENOSPC, -EINVAL): the rest is
 * applied all the same. */
int qnm_power_on(struct qn_model *m, const struct qnm_settings *s);
/* Back to the power-on state with the settings re-applied: identity, the
 * plain I2C devices (the settings' and any added since, emptied), fault
 * rules (call counts cleared), pins, registers; the observer stays.
 * Emits RESET, PINS for every bank that was not all low, then whatever
 * applying the settings' pins and registers emits. */
void qnm_reset(struct qn_model *m);
void qnm_set_observer(struct qn_model *m, const struct qnm_observer *obs);
/* The identity from now on, kept by reset too. */
void qnm_set_identity(struct qn_model *m, uint32_t model, uint32_t gp_id,
		      uint32_t mb_version);
/* Hands an event of the board the transport made (PANEL_READ, CLOCK) to
 * the observer, time-stamped like the model's own. */
void qnm_emit(struct qn_model *m, const struct qnm_event *ev);

/* ---- Requests --------------------------------------------------------- */

/* Serves one block request (QNM_CALL_REG .. QNM_CALL_I2C_WR) on w, in
 * place, from a node and a request code as the caller issued them.
 * Returns 0, or -ENOTTY (no driver serves that code on that node), -EFAULT
 * (w NULL: the caller's block could not be read; the call is not
 * counted), -EIO (a fault rule), -EINVAL (bad selector, bank or register),
 * -ENXIO (no device at that address), -ENOSPC (a table is full); on
 * failure w is left as it came.  Counts the call for the fault rules and
 * emits one REQUEST. */
int qnm_ioctl(struct qn_model *m, enum qnm_node node, unsigned long code,
	      uint32_t w[5]);

/* ---- Faults ----------------------------------------------------------- */

/* A rule as text: "NAME" or "NAME@N" (N decimal; 0 counts as 1), NAME one
 * of the names qnm_fault_name() gives for these settings (the board's
 * calls but those of foreign nodes, then the extra names),
 * case-insensitive.  Parsing only: 0, or -EINVAL for another name or a
 * bad N. */
int qnm_parse_fault(const char *text, size_t len, const struct qnm_settings *s,
		    struct qnm_fault *out);
/* Name i (from 0) of the fault rules a transport with these settings
 * accepts; NULL past the last. */
const char *qnm_fault_name(const struct qnm_settings *s, unsigned int i);
/* Adds a rule as text to the model (names: those of its settings).
 * 0, or -EINVAL (nothing changed). */
int qnm_fault_rule(struct qn_model *m, const char *text, size_t len);
/* Counts one call of a transport-served slot (QNM_CALL_RTC_SET, or
 * QNM_CALL_COUNT + i for extra name i) and says whether it must fail (1)
 * or not (0). */
int qnm_fault_due(struct qn_model *m, unsigned int slot);

/* ---- Pokes (control channel, settings, tests) ------------------------- */

/* One pin (bank 0-8, bit 0-7) to level 0/1: 0 or -EINVAL. */
int qnm_set_pin(struct qn_model *m, unsigned int bank, unsigned int bit,
		int level);
/* Levels of a bank (bit b = pin b); 0 for a bad bank. */
uint8_t qnm_pins(const struct qn_model *m, unsigned int bank);
/* A SoC register as the board driver reads and writes it (GPIO data
 * registers masked by address bits 9:2).  Write: 0 or -ENOSPC. */
uint32_t qnm_reg_read(struct qn_model *m, uint32_t addr);
int qnm_reg_write(struct qn_model *m, uint32_t addr, uint32_t val);
/* Puts a plain register device on the bus: 0 (also if already there),
 * -EINVAL at a decoder's address, -ENOSPC when QNM_I2C_DEV_CAP are there. */
int qnm_i2c_add_device(struct qn_model *m, uint32_t addr);
/* A plain device's register: 0, -ENXIO (no device), -ENOSPC (set only). */
int qnm_i2c_set(struct qn_model *m, uint32_t dev, uint32_t reg, uint32_t val);
int qnm_i2c_get(struct qn_model *m, uint32_t dev, uint32_t reg, uint32_t *val);
/* A decoder register by chip (0, 1, or bus address 0x60/0x62), bank 0-15
 * and register 0-0xFF (0xFF is the bank select, whatever the bank):
 * 0, -ENXIO (no such chip) or -EINVAL. */
int qnm_nvp_set(struct qn_model *m, uint32_t chip, uint32_t bank, uint32_t reg,
		uint32_t val);
int qnm_nvp_get(struct qn_model *m, uint32_t chip, uint32_t bank, uint32_t reg,
		uint32_t *val);

/* ---- Front panel ------------------------------------------------------ */

/* Appends bytes to the panel stream; emits PANEL_FEED with them, and
 * PANEL_DROP with the count that found no room.  Returns bytes kept. */
size_t qnm_panel_feed(struct qn_model *m, const uint8_t *bytes, size_t n);
/* Takes up to n bytes from the stream: the count (> 0), or -EAGAIN when
 * nothing is there yet.  Emits nothing: the transport emits PANEL_READ
 * with what its caller actually received. */
int qnm_panel_read(struct qn_model *m, uint8_t *buf, size_t n);
size_t qnm_panel_pending(const struct qn_model *m);

/* ---- Control channel -------------------------------------------------- */

/* Results of qnm_control() besides 0 (applied, or an empty line): */
#define QNM_CTL_CLOCK 1 /* "clock": the caller emits CLOCK from its clocks */
#define QNM_CTL_RESET 2 /* "reset": done, settings re-applied */

/* One control line (without its newline; a trailing '\r' is ignored):
 *   panel HH HH ...         feed bytes (hex) to the front panel
 *   pin B_b L               set a GPIO level
 *   reg ADDR VAL            write a SoC register
 *   i2c ADDR REG VAL        set a plain I2C device register
 *   nvp CHIP BANK REG VAL   set a decoder register
 *   fail NAME[@N]           add a fault rule
 *   reset                   back to the power-on state, settings re-applied
 *   clock                   (the caller traces its clocks)
 *   sync                    emit SYNC
 * Numbers as C literals (0x.. hex, 0.. octal, else decimal); B, b, N
 * decimal; HH hex.  Returns 0, QNM_CTL_CLOCK, QNM_CTL_RESET, or a
 * negative errno: -EINVAL for a bad line (one CTL_ERROR emitted, nothing
 * changed) or the poke's own error (-ENOSPC: a TABLE_FULL emitted).
 * err, when not NULL, receives a one-line reason (errsize bytes, NUL
 * terminated) on failure. */
int qnm_control(struct qn_model *m, const char *line, size_t len, char *err,
		size_t errsize);

/* Number parsing of the control language and the settings: like
 * strtoul() of a whole word (base 0, 10 or 16), no sign, at most 32 bits.
 * 1 on success, 0 otherwise. */
int qnm_parse_u32(const char *text, size_t len, int base, uint32_t *out);
/* "B_b" with bank 0-8 and bit 0-7, decimal. 1 on success. */
int qnm_parse_pin(const char *text, size_t len, unsigned int *bank,
		  unsigned int *bit);

/* ---- Formatting ------------------------------------------------------- */

/* Buffers are the caller's (in a kernel keep the large ones off the
 * stack); the formatters keep no state but struct qnm_vcd. */

/* A text being built in the caller's buffer, the one way every formatter
 * here and a transport's own trace lines append: appends are cut at
 * size - 2 characters, which leaves room for a closing '\n' and the NUL,
 * and cut says one did not fit whole.  The text is NUL terminated after
 * every append. */
struct qnm_text {
	char *buf;
	size_t size, len;
	int cut;
};
void qnm_text_init(struct qnm_text *t, char *buf, size_t size);
void qnm_text_add(struct qnm_text *t, const char *fmt, ...)
	__attribute__((format(printf, 2, 3)));
void qnm_text_vadd(struct qnm_text *t, const char *fmt, va_list ap)
	__attribute__((format(printf, 2, 0)));
/* Ends the text with '\n': its length, 0 when size < 2. */
size_t qnm_text_line(struct qnm_text *t);

/* The trace line of an event: "T kind ...\n", T the time in decimal
 * microseconds; at most size - 1 characters plus NUL (size up to
 * QNM_TRACE_MAX gives today's lines; longer ones are cut to size - 2
 * characters and the '\n').  Returns the length, 0 for events without a
 * trace line (PINS). */
size_t qnm_format_trace(char *buf, size_t size, int64_t t_us,
			const struct qnm_event *ev);

/* Sinks that lose lines and say so once they take lines again. */
enum qnm_dropped_sink {
	QNM_DROPPED_TRACE, /* a trace file: "T trace-dropped N\n" */
	QNM_DROPPED_LINK   /* a board link subscriber: "T dropped N\n" */
};
/* The note of count lost lines, "T ..." with the caller's time (a trace
 * sink: the line that follows it; a link: the last line lost).  Returns
 * the length (cut like a trace line). */
size_t qnm_format_dropped(char *buf, size_t size, int64_t t_us,
			  enum qnm_dropped_sink sink, unsigned long count);

/* The VCD writer's state: time of the last "#T" written. */
struct qnm_vcd {
	int64_t last_us;
};
/* Header of the GPIO waveform with every pin's level now (date: the
 * "$date" text, e.g. "2026-01-02 03:04:05").  Needs QNM_VCD_HEADER_MAX
 * bytes; returns the length (0 if size is too small). */
size_t qnm_format_vcd_header(char *buf, size_t size, struct qnm_vcd *vcd,
			     const char *date, const struct qn_model *m);
/* Value changes of a PINS event ("#T" first when time moved on); 0 for
 * other events or no change.  size >= 64 is always enough. */
size_t qnm_format_vcd_change(char *buf, size_t size, struct qnm_vcd *vcd,
			     int64_t t_us, const struct qnm_event *ev);

#ifdef __cplusplus
}
#endif

#include "qn_wiring.h"

#endif /* QN_MODEL_H */
