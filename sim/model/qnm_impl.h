/*
 * qnm_impl.h - what the board model's parts share among themselves.
 * Not for the transports: they use qn_model.h only.
 */
#ifndef QNM_IMPL_H
#define QNM_IMPL_H

#include "qn_model.h"

/* soc_regs.c: sparse tables of (address, value); absent reads 0. */
uint32_t qnm__sparse_get(const struct qnm_reg_entry *t, unsigned int n,
			 uint32_t addr);
/* 0, or -ENOSPC when a new entry finds no room (nothing changed). */
int qnm__sparse_put(struct qnm_reg_entry *t, unsigned int *n, unsigned int cap,
		    uint32_t addr, uint32_t val);
/* The power-on values of the SoC registers. */
void qnm__regs_power_on(struct qn_model *m);
/* Plain storage of the register space. */
uint32_t qnm__plain_read(struct qn_model *m, uint32_t addr);
int qnm__plain_write(struct qn_model *m, uint32_t addr, uint32_t val);

/* gpio.c: the GPIO controller's banks. */
int qnm__gpio_claims(uint32_t addr);
uint32_t qnm__gpio_read(struct qn_model *m, uint32_t addr);
int qnm__gpio_write(struct qn_model *m, uint32_t addr, uint32_t val);
/* All eight levels of a bank at once; emits PINS on a change. */
void qnm__set_levels(struct qn_model *m, unsigned int bank, uint8_t levels);

/* i2c_bus.c: the bus behind tw_286x (selector in w0). */
int qnm__i2c_request(struct qn_model *m, int write, uint32_t w[5]);
void qnm__i2c_power_on(struct qn_model *m);

/* nvp6114.c: the video decoders. */
struct qnm_nvp *qnm__nvp_at(struct qn_model *m, uint32_t bus_addr);
/* Banked access; *val is written on a read, taken on a write. */
int qnm__nvp_access(struct qn_model *m, int write, uint32_t chip, uint32_t bank,
		    uint32_t reg, uint32_t *val);
void qnm__nvp_power_on(struct qn_model *m);

/* model.c */
int qnm__count_call(struct qn_model *m, unsigned int slot);

/* control.c: a word equals a text, case-insensitively (ASCII). */
int qnm__word_ieq(const char *w, size_t len, const char *text);

#endif /* QNM_IMPL_H */
