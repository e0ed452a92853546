/*
 * wiring.c - the board's wiring table and the state snapshot.
 *
 * Pins are (bank, bit); a lamp or a reset line's level is what the shell
 * writes at the pin's single-pin data address, the pin its line names
 * (KD3353's hub reset: GPIO0_3, active high).
 */
#include "qnm_impl.h"

#define LAMP(n, b, i, a, m)                                                    \
	{                                                                      \
		QNM_PART_LAMP, n, b, i, a, m                                   \
	}
#define OUT(n, b, i, a)                                                        \
	{                                                                      \
		QNM_PART_OUTPUT, n, b, i, a, -1                                \
	}
#define RST(n, b, i, a)                                                        \
	{                                                                      \
		QNM_PART_RESET, n, b, i, a, -1                                 \
	}
#define IN(n, b, i, a, r)                                                      \
	{                                                                      \
		QNM_PART_INPUT, n, b, i, a, r                                  \
	}

static const struct qnm_wiring wiring[] = {
	{0x20D97001u,
	 "KD3151",
	 2,
	 {RST("sd1reset", 0, 7, 1), RST("adreset", 8, 4, 0)}},
	{0x20D97002u,
	 "KD3252",
	 7,
	 {LAMP("RUN_LED1", 0, 1, 0, 0), LAMP("RUN_LED2", 1, 3, 0, 1),
	  RST("hubreset", 0, 3, 0), RST("sd1reset", 0, 7, 1),
	  RST("adreset", 8, 4, 0), IN("LOCK", 6, 3, 1, 0),
	  IN("SD1_CARDIN", 0, 6, 0, 1)}},
	{0x20D97003u,
	 "KD3353",
	 14,
	 {LAMP("RecLED", 2, 4, 0, 0), LAMP("3GLED", 2, 3, 0, 1),
	  LAMP("WifiLED", 2, 7, 0, 2), OUT("campw", 1, 4, 1),
	  RST("hubreset", 0, 3, 1), RST("sd1reset", 0, 7, 1),
	  RST("adreset", 8, 4, 0), IN("TALK_PLUGIN", 0, 2, 1, 0),
	  IN("EMERGE", 0, 4, 1, 1), IN("SD2_CARDIN", 0, 5, 0, 2),
	  IN("SD1_CARDIN", 0, 6, 0, 3), IN("PowerSupply", 1, 3, 0, 4),
	  IN("SIMA", 2, 1, 0, 5), IN("SIMB", 2, 2, 0, 6)}},
	{0x20D97004u,
	 "KD3454",
	 12,
	 {LAMP("RecLED", 0, 5, 0, 0), LAMP("DoorLED", 8, 0, 0, 1),
	  OUT("campw", 6, 3, 1), RST("hubreset", 6, 1, 0),
	  RST("sd1reset", 6, 5, 1), RST("adreset", 1, 4, 0),
	  IN("SD1_CARDIN", 5, 6, 0, 0), IN("SD2_CARDIN", 8, 2, 0, 1),
	  IN("PowerSupply", 0, 6, 0, 2), IN("LOCK", 2, 2, 0, 3),
	  IN("HwVer0", 6, 6, 1, 4), IN("HwVer1", 6, 7, 1, 4)}},
	{0x20D97005u,
	 "KD3555",
	 14,
	 {LAMP("RecLED", 2, 4, 0, 0), LAMP("AlarmLED", 2, 5, 0, 1),
	  OUT("alarm", 0, 3, 1), OUT("campw", 1, 4, 1),
	  RST("hubreset", 0, 6, 1), RST("sd1reset", 0, 6, 1),
	  RST("adreset", 8, 2, 0), IN("WIFI_EXIST", 0, 0, 1, 0),
	  IN("GPS_EXIST", 0, 1, 1, 1), IN("IR_EXIST", 0, 2, 1, 2),
	  IN("EMERGE", 0, 4, 1, 3), IN("SD1_CARDIN", 0, 5, 0, 4),
	  IN("TALK_IN", 0, 7, 1, 5), IN("PowerSupply", 1, 3, 0, 6)}},
	/* every other code, and 0 (identity not read) */
	{0, "unknown", 2, {RST("sd1reset", 0, 7, 1), RST("adreset", 8, 4, 0)}},
};

#define NROWS (sizeof(wiring) / sizeof(wiring[0]))

unsigned int qnm_wiring_count(void)
{
	return NROWS;
}

const struct qnm_wiring *qnm_wiring_row(unsigned int i)
{
	return i < NROWS ? &wiring[i] : NULL;
}

const struct qnm_wiring *qnm_wiring_of(uint32_t code)
{
	unsigned int i;

	for (i = 0; i + 1 < NROWS; i++)
		if (wiring[i].code == code)
			return &wiring[i];
	return &wiring[NROWS - 1];
}

const char *qnm_part_kind_name(enum qnm_part_kind kind)
{
	switch (kind) {
	case QNM_PART_LAMP:
		return "lamp";
	case QNM_PART_OUTPUT:
		return "output";
	case QNM_PART_RESET:
		return "reset";
	case QNM_PART_INPUT:
		return "input";
	}
	return NULL;
}

/* ---- DDR geometry ------------------------------------------------------ */

#define DDR_REG2C 0x2011002Cu
#define DDR_REG1C 0x2011001Cu

uint32_t qnm_ddr_mb(uint32_t reg2c, uint32_t reg1c)
{
	static const unsigned char col[8] = {8, 9, 10, 11, 12, 0, 0, 0};
	static const unsigned char row[8] = {11, 12, 13, 14, 15, 16, 0, 0};
	static const unsigned char bits[4] = {16, 32, 0, 0};
	unsigned int shift = col[reg2c & 7] + row[(reg2c >> 4) & 7];
	uint32_t width = bits[(reg1c >> 4) & 3];

	/* bits << shift kept to 32 bits, then whole MB */
	if (!width || shift + (width == 32 ? 5 : 4) > 31)
		return 0;
	return (width << shift) >> 20;
}

static const struct {
	uint32_t mb, reg2c, reg1c;
} ddr_choice[QNM_DDR_CHOICES] = {
	{64, 0x12, 0x00},  {128, 0x12, 0x10},  {256, 0x22, 0x10},
	{512, 0x32, 0x10}, {1024, 0x42, 0x10}, {2048, 0x43, 0x10},
};

int qnm_ddr_choice(unsigned int i, uint32_t *mb, uint32_t *reg2c,
		   uint32_t *reg1c)
{
	if (i >= QNM_DDR_CHOICES)
		return 0;
	*mb = ddr_choice[i].mb;
	*reg2c = ddr_choice[i].reg2c;
	*reg1c = ddr_choice[i].reg1c;
	return 1;
}

/* ---- Snapshot ---------------------------------------------------------- */

size_t qnm_format_state(char *buf, size_t size, int64_t t_us,
			const struct qn_model *m)
{
	const struct qnm_wiring *w = qnm_wiring_of(m->model);
	struct qnm_text o;
	uint32_t r2c = qnm__sparse_get(m->regs, m->nregs, DDR_REG2C);
	uint32_t r1c = qnm__sparse_get(m->regs, m->nregs, DDR_REG1C);
	uint32_t mb, a, b;
	const char *name;
	unsigned int i;

	if (!buf || !size)
		return 0;
	qnm_text_init(&o, buf, size);
	qnm_text_add(&o, "time %lld\n", (long long)t_us);
	qnm_text_add(&o, "identity %s 0x%08X gp_id=%u mb_version=%u\n",
		     w->code == m->model ? w->name : "unknown",
		     (unsigned int)m->model, (unsigned int)m->gp_id,
		     (unsigned int)m->mb_version);
	for (i = 0; i < w->nparts; i++) {
		const struct qnm_part *p = &w->parts[i];

		qnm_text_add(&o, "part %s %s %u_%u %u",
			     qnm_part_kind_name(p->kind), p->name, p->bank,
			     p->bit, p->active);
		if (p->kind == QNM_PART_LAMP)
			qnm_text_add(&o, " bit=%d", p->index);
		else if (p->kind == QNM_PART_INPUT)
			qnm_text_add(&o, " row=%d", p->index);
		qnm_text_add(&o, "\n");
	}
	qnm_text_add(&o, "sounder buzzer %d\n", m->buzzer ? 1 : 0);
	qnm_text_add(&o, "pins");
	for (i = 0; i < QNM_GPIO_BANKS; i++)
		qnm_text_add(&o, " %02x", m->pins[i]);
	qnm_text_add(&o, "\n");
	qnm_text_add(&o, "ddr 0x%02X 0x%02X %u\n", (unsigned int)r2c,
		     (unsigned int)r1c, (unsigned int)qnm_ddr_mb(r2c, r1c));
	for (i = 0; qnm_ddr_choice(i, &mb, &a, &b); i++)
		qnm_text_add(&o, "ddrchoice %u 0x%02X 0x%02X\n",
			     (unsigned int)mb, (unsigned int)a,
			     (unsigned int)b);
	qnm_text_add(&o, "key plain fd KK\n");
	qnm_text_add(&o, "key escaped fd fc KK\n");
	qnm_text_add(&o, "faults");
	for (i = 0; (name = qnm_fault_name(&m->settings, i)) != NULL; i++)
		qnm_text_add(&o, " %s", name);
	qnm_text_add(&o, "\n");
	if (o.cut) {
		buf[0] = '\0';
		return 0;
	}
	return o.len;
}

size_t qnm_format_pins(char *buf, size_t size, int64_t t_us,
		       const struct qnm_event *ev)
{
	struct qnm_text o;

	if (!ev || ev->kind != QNM_EV_PINS || !buf || !size)
		return 0;
	qnm_text_init(&o, buf, size);
	qnm_text_add(&o, "%lld pins %u %02x", (long long)t_us, ev->u.pins.bank,
		     ev->u.pins.levels);
	if (o.cut) {
		buf[0] = '\0';
		return 0;
	}
	return qnm_text_line(&o);
}
