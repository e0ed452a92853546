/*
 * qn_port.h - the few things the board model takes from its host.
 *
 * The model is freestanding C: inside the Linux kernel it uses the kernel's
 * own types, errno values, memset/memcpy and snprintf; in user space the
 * C library's (a freestanding build declares them itself and takes Linux's
 * errno numbers).  Nothing else is used on either side: no heap, no
 * threads, no locks, no files, no clock, no floating point, no 64-bit
 * division.
 */
#ifndef QN_PORT_H
#define QN_PORT_H

#ifdef __KERNEL__
#include <linux/types.h>
#include <linux/errno.h>
#include <linux/kernel.h>
#include <linux/string.h>
#include <linux/stdarg.h>
#else
#include <stdint.h>
#include <stddef.h>
#include <stdarg.h>
#if __STDC_HOSTED__
#include <errno.h>
#include <string.h>
#include <stdio.h>
#else
/* The C library's, as the kernel offers them too. */
#ifdef __cplusplus
extern "C" {
#endif
void *memset(void *s, int c, size_t n);
void *memcpy(void *dst, const void *src, size_t n);
int snprintf(char *buf, size_t size, const char *fmt, ...)
	__attribute__((format(printf, 3, 4)));
int vsnprintf(char *buf, size_t size, const char *fmt, va_list ap)
	__attribute__((format(printf, 3, 0)));
#ifdef __cplusplus
}
#endif
/* Linux's numbers (asm-generic/errno-base.h). */
#define EIO 5
#define ENXIO 6
#define EAGAIN 11
#define EFAULT 14
#define EINVAL 22
#define ENOTTY 25
#define ENOSPC 28
#endif
#endif

#endif /* QN_PORT_H */
