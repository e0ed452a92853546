// Device access and the command handlers.
#ifndef ADD_FUNC_H
#define ADD_FUNC_H

#include <stdint.h>

#include "qn-KD300.h"

extern int gfd_qn;
extern int gfd_tw;
extern int gfd_panel;

// The one path of every request to a driver: zeroes *req, fills the words
// that `words` names (w0 first; aggregate initialisation leaves the others
// zero), issues `code` on the node that serves it and returns 0. A failed
// request (or a code no node serves) prints `err`, unless it is null, and
// returns -1; *req then holds what the driver left in it.
int add_func(uint32_t code, qn_req_t *req, const qn_req_t &words, const char *err);

int is_file_exist(const char *file_path);
int open_dev();
int close_dev();
void get_mbinfo();
uint32_t reg_read(uint32_t addr);
void stop_key_monitor();
void reg_write(uint32_t addr, uint32_t val);

// Handlers of the command table.
void print_hwinfo(int argc, char **argv);
void hs3515_rd(int argc, char **argv);
void hs3515_wr(int argc, char **argv);
void nvp6114_rd(int argc, char **argv);
void nvp6114_wr(int argc, char **argv);
void nvp6114_mrd(int argc, char **argv);
void i2c_rd(int argc, char **argv);
void i2c_wr(int argc, char **argv);
void i2c_mrd(int argc, char **argv);
void buzzer_ctrl(int argc, char **argv);
void campw_ctl(int argc, char **argv);
void hub_reset_ctl(int argc, char **argv);
void sd1_reset_ctl(int argc, char **argv);
void ad_reset_ctl(int argc, char **argv);
void get_io_state(int argc, char **argv);
void led_command(int argc, char **argv);
void alarm_out(int argc, char **argv);
void read_panel(int argc, char **argv);
void rtc_set_time(int argc, char **argv);
void read_time(int argc, char **argv);
void nvp6114_mrd_xm(int argc, char **argv);
void get_ddrsize(int argc, char **argv);

#endif
