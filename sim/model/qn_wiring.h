/*
 * qn_wiring.h - the board's wiring: which part hangs on which GPIO pin, for
 * every board model, and the board's state as one snapshot of text lines.
 *
 * One constant table, one row per board model (plus the row of a model no
 * table lists): the lamps of ctlled, the alarm output and camera power, the
 * reset lines, the digital inputs of the status report, with their names
 * and the level at which each is "on".  A sixth board model is one more
 * row.  Included by qn_model.h.
 */
#ifndef QN_WIRING_H
#define QN_WIRING_H

#include "qn_model.h"

#ifdef __cplusplus
extern "C" {
#endif

struct qn_model;

enum qnm_part_kind {
	QNM_PART_LAMP,	 /* a lamp of ctlled; index = its bit in the map */
	QNM_PART_OUTPUT, /* alarm output, camera power; index -1 */
	QNM_PART_RESET,	 /* a reset line; name = the command pulsing it */
	QNM_PART_INPUT	 /* an input of status; index = its report row */
};

/* One wired part.  active: the level at which the part is on (a lamp lit,
 * an output switched on, a reset line in reset, an input asserted: card
 * or plug in, lock in, module present, supply in, emergency raised). */
struct qnm_part {
	enum qnm_part_kind kind;
	const char *name; /* one word, e.g. "RecLED", "hubreset", "LOCK" */
	unsigned char bank, bit, active;
	signed char index;
};

#define QNM_PARTS_MAX 16

struct qnm_wiring {
	uint32_t code;	  /* identity code; 0 for the row of other models */
	const char *name; /* "KD3454"; "unknown" for other models */
	unsigned int nparts;
	struct qnm_part parts[QNM_PARTS_MAX];
};

/* The wiring of a model code: its row, or the row of the models no table
 * lists (KD3151's wiring is the same) for any other code.  Never NULL. */
const struct qnm_wiring *qnm_wiring_of(uint32_t code);
/* Rows of the table, for iteration: row i (0 .. qnm_wiring_count() - 1),
 * the last being the row of other models; NULL past the end. */
unsigned int qnm_wiring_count(void);
const struct qnm_wiring *qnm_wiring_row(unsigned int i);
/* "lamp", "output", "reset", "input"; NULL for a bad kind. */
const char *qnm_part_kind_name(enum qnm_part_kind kind);

/* DDR size in MB from the two geometry registers, as the shell computes
 * it (0x2011002C: column and row codes, 0x2011001C: bus width code; a
 * size of 4 GB or more, or a code outside the tables, gives 0). */
uint32_t qnm_ddr_mb(uint32_t reg2c, uint32_t reg1c);
/* Register values (0x2011002C, 0x2011001C) for a size the controller can
 * be set to: row i of QNM_DDR_CHOICES; 0 past the end. */
#define QNM_DDR_CHOICES 6
int qnm_ddr_choice(unsigned int i, uint32_t *mb, uint32_t *reg2c,
		   uint32_t *reg1c);

/* The board's state as text, the same bytes on every transport:
 *   time T
 *   identity NAME 0xCODE gp_id=N mb_version=N
 *   part KIND NAME B_b ACTIVE [bit=N | row=N]     one per wired part
 *   sounder buzzer STATE
 *   pins HH HH HH HH HH HH HH HH HH                banks 0..8
 *   ddr 0xREG2C 0xREG1C MB
 *   ddrchoice MB 0xREG2C 0xREG1C                    one per settable size
 *   key plain fd KK                                 (KK: any code but fc)
 *   key escaped fd fc KK                            (KK: any code)
 *   faults NAME NAME ...                            fault rules accepted
 * Each line ends in '\n'; no closing line (a transport adds "end").
 * NAME is "unknown" for a code no table lists; HH, KK two lower-case hex
 * digits; T microseconds of the transport's clock.  Returns the length,
 * 0 if size (QNM_STATE_MAX is always enough) is too small. */
#define QNM_STATE_MAX 2048
size_t qnm_format_state(char *buf, size_t size, int64_t t_us,
			const struct qn_model *m);

/* The link's line for a PINS event, "T pins BANK LL\n" (BANK decimal, LL
 * the new levels, two lower-case hex digits, bit b = pin b); 0 for any
 * other event.  The trace file and the waveform have no such line. */
size_t qnm_format_pins(char *buf, size_t size, int64_t t_us,
		       const struct qnm_event *ev);

#ifdef __cplusplus
}
#endif

#endif /* QN_WIRING_H */
