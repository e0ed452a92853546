// Board driver access, board identity and the command table.
#include "add_func.h"

#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "console_seq.h"
#include "qn_shell.h"

int gfd_qn = 0;
int gfd_tw = 0;
int gfd_panel = 0;
MB_INFO_E gb_hardInfo;

constexpr sub_fun_t sub_fun[] = {
    {"mbinfo", print_hwinfo, "get HwInfomation\t:mbinfo"},
    {"hr", hs3515_rd, "hs3520D read\t\t:hr addr"},
    {"hw", hs3515_wr, "hs3520D write\t\t:hw addr data"},
    {"nrd", nvp6114_rd, "nvp6114 read\t\t:nrd  id bank regaddr"},
    {"nwr", nvp6114_wr, "nvp6114 write\t\t:nwr  id bank regaddr regval"},
    {"nmrd", nvp6114_mrd, "nvp6114 mult read\t:nmrd id bank regaddr count"},
    {"ird", i2c_rd, "i2c read\t\t:ird  id regaddr"},
    {"iwr", i2c_wr, "i2c write\t\t:iwr  id regaddr regval"},
    {"imrd", i2c_mrd, "i2c read\t\t:imrd id regaddr count"},
    {"buzzer", buzzer_ctrl, "buzzer control\t:buzzer {on|off}"},
    {"campw", campw_ctl, "camera power control\t:campw {on|off}"},
    {"hubreset", hub_reset_ctl, "hub reset control\t:hubreset"},
    {"sd1reset", sd1_reset_ctl, "sd1 reset control\t:sd1reset"},
    {"adreset", ad_reset_ctl, "ad chip reset control\t:adreset"},
    {"status", get_io_state, "get io-device status\t:status"},
    {"ctlled", led_command, "Lighting control\t:ctlled bitmap[bit0:REC, bit1:Alarm 1:on, 0:off]"},
    {"alarm", alarm_out, "alarm trigger control\t:alarm  {on|off}"},
    {"revkey", read_panel, "read ir key\t\t:revkey {on|off}"},
    {"rtcset", rtc_set_time, "rtc set timet\t\t:rtcset yyyy mm dd hh mm ss"},
    {"time", read_time, "read rtc/system time\t:time"},
    {"xm", nvp6114_mrd_xm, "xm nvp6114 config\t:xm chip"},
    {"ddrsize", get_ddrsize, "get ddr size\t\t:ddrsize"},
    {NULL, NULL, NULL},
};
static_assert(sizeof(sub_fun) / sizeof(sub_fun[0]) == 23, "22 commands and the terminating row");
static_assert(help_len(sub_fun) < DRAW_BUF_SIZE, "the help listing fits the shell's drawing buffer");

namespace {

// The node each request goes to.
struct route_t {
    uint32_t code;
    const int *node;
};

const route_t ROUTES[] = {
    {QN_REG_ACCESS, &gfd_qn}, {QN_GET_MBINFO, &gfd_qn}, {QN_BUZZER, &gfd_qn},
    {I2C_REG_READ, &gfd_tw},  {I2C_REG_WRITE, &gfd_tw},
};

const int *node_for(uint32_t code)
{
    for (size_t i = 0; i < sizeof(ROUTES) / sizeof(ROUTES[0]); ++i)
        if (ROUTES[i].code == code)
            return ROUTES[i].node;
    return NULL;
}

} // namespace

// The RTC is set apart (see rtc_set_time): its request carries the 36-byte
// struct rtc_time, not this block, on a node opened for the one command.
int add_func(uint32_t code, qn_req_t *req, const qn_req_t &words, const char *err)
{
    memset(req, 0, sizeof(*req));
    *req = words;
    const int *node = node_for(code);
    const int ret = (node != NULL && ioctl(*node, code, req) >= 0) ? 0 : -1;
    if (ret < 0 && err != NULL)
        puts(err);
    return ret;
}

int is_file_exist(const char *file_path)
{
    if (file_path == NULL)
        return -1;
    return access(file_path, F_OK) == 0 ? 0 : -1;
}

int open_dev()
{
    gfd_qn = open(QN_DEV_KD300, O_RDWR);
    if (gfd_qn < 0) {
        gfd_qn = 0;
        perror("\nqn_kd3151: qn_KD300 open error\n");
        return -1;
    }
    gfd_tw = open(QN_DEV_TW286X, O_RDWR);
    if (gfd_tw < 0) {
        gfd_tw = 0;
        perror("\nqn_kd3151: tw_286x open error\n");
        return -1;
    }
    if (is_file_exist(QN_DEV_PANEL) == 0) {
        gfd_panel = open(QN_DEV_PANEL, O_RDWR | O_NONBLOCK, 0);
        if (gfd_panel < 0) {
            gfd_panel = 0;
            perror("\nqn_kd3151: panel open error\n");
            return -1;
        }
    }
    get_mbinfo();
    return 0;
}

int close_dev()
{
    stop_key_monitor();
    if (gfd_qn)
        close(gfd_qn);
    if (gfd_tw)
        close(gfd_tw);
    if (gfd_panel)
        close(gfd_panel);
    gfd_qn = gfd_tw = gfd_panel = 0;
    return 0;
}

uint32_t reg_read(uint32_t addr)
{
    qn_req_t req;
    if (add_func(QN_REG_ACCESS, &req, qn_req_t{REG_ACCESS_READ, addr, 0, 0, 0}, "hs3515_rd error!") < 0)
        return 0xFFFFFFFFu;
    return req.w0;
}

void reg_write(uint32_t addr, uint32_t val)
{
    qn_req_t req;
    add_func(QN_REG_ACCESS, &req, qn_req_t{REG_ACCESS_WRITE, addr, val, 0, 0}, "hs3515_wr error!");
}

// A failed identity request leaves the record zero: a model no table lists.
void get_mbinfo()
{
    memset(&gb_hardInfo, 0, sizeof(gb_hardInfo));
    qn_req_t req;
    if (add_func(QN_GET_MBINFO, &req, qn_req_t{0, 0, 0, 0, 0}, "lib_alarm@alarm_in: QN_ALM_IN error") < 0)
        return;
    gb_hardInfo.hardware_type = req.w0;
    gb_hardInfo.gp_id = req.w1;
    gb_hardInfo.mb_version = req.w2;
}

namespace {

const char *model_name(uint32_t type)
{
    static const char *const names[] = {"KD3151", "KD3252", "KD3353", "KD3454", "KD3555"};
    if (type >= HARDWARE_TYPE_KD3151 && type <= HARDWARE_TYPE_KD3555)
        return names[type - HARDWARE_TYPE_KD3151];
    return "unknown";
}

} // namespace

void print_hwinfo(int argc, char **argv)
{
    (void)argc;
    (void)argv;
    if (gb_hardInfo.hardware_type == 0)
        return;
    memset(gb_hardInfo.mb_name, 0, sizeof(gb_hardInfo.mb_name));
    strncpy(gb_hardInfo.mb_name, model_name(gb_hardInfo.hardware_type), sizeof(gb_hardInfo.mb_name) - 1);
    printf(SEQ_GREEN "hardware=%s, custom=%d, mb_version=%d", gb_hardInfo.mb_name, (int)gb_hardInfo.gp_id,
           (int)gb_hardInfo.mb_version);
    puts(SEQ_NORMAL "  ");
}
