// Register tools: SoC registers (hr, hw), plain I2C devices (ird, iwr, imrd)
// and the NVP6114 video decoder (nrd, nwr, nmrd, xm).
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "add_func.h"
#include "parse_cmd.h"

namespace {

// The numbers go straight into the block from w1 on, where the request wants
// them.
bool parse_into(qn_req_t &req, int argc, char **argv, int n)
{
    memset(&req, 0, sizeof(req));
    return check_args(argc, argv, &req.w1, n) == 0;
}

void tw_request(uint32_t code, qn_req_t &req, const char *err)
{
    if (ioctl(gfd_tw, code, &req) < 0)
        puts(err);
}

// One request on the I2C driver with `n` numbers from w1 on. A read prints
// its result after a failure too, with w0 as the driver left it.
void tw_single(int argc, char **argv, int n, uint32_t sel, uint32_t code, const char *err)
{
    qn_req_t req;
    if (!parse_into(req, argc, argv, n))
        return;
    req.w0 = sel;
    tw_request(code, req, err);
    if (code == I2C_REG_READ)
        printf("read : 0x%02X\n", req.w0);
}

void print_reg_line(uint32_t reg, uint32_t val)
{
    printf("read : adr=0x%02X, val = 0x%02X\n", reg, val);
}

} // namespace

static_assert(offsetof(qn_req_t, w2) == offsetof(qn_req_t, w1) + sizeof(uint32_t) &&
                  offsetof(qn_req_t, w4) == offsetof(qn_req_t, w1) + 3 * sizeof(uint32_t),
              "numbers are parsed into consecutive words");

void hs3515_rd(int argc, char **argv)
{
    qn_req_t req;
    if (!parse_into(req, argc, argv, 1))
        return;
    req.w0 = REG_ACCESS_READ;
    if (ioctl(gfd_qn, QN_REG_ACCESS, &req) < 0)
        puts("hs3515_rd error!");
    printf("read : 0x%08X\n", req.w0);
}

void hs3515_wr(int argc, char **argv)
{
    qn_req_t req;
    if (!parse_into(req, argc, argv, 2))
        return;
    req.w0 = REG_ACCESS_WRITE;
    if (ioctl(gfd_qn, QN_REG_ACCESS, &req) < 0)
        puts("hs3515_wr error!");
}

void i2c_rd(int argc, char **argv)
{
    tw_single(argc, argv, 2, I2C_SEL_PLAIN, I2C_REG_READ, "i2c_rd error!");
}

void i2c_wr(int argc, char **argv)
{
    tw_single(argc, argv, 3, I2C_SEL_PLAIN, I2C_REG_WRITE, "i2c_wr error!");
}

void i2c_mrd(int argc, char **argv)
{
    qn_req_t req;
    if (!parse_into(req, argc, argv, 3))
        return;
    const uint32_t dev = req.w1, first = req.w2, count = req.w3;
    for (uint32_t i = 0; i < count; ++i) {
        req.w0 = I2C_SEL_PLAIN;
        req.w1 = dev;
        req.w2 = first + i;
        tw_request(I2C_REG_READ, req, "i2c_mrd error!");
        print_reg_line(first + i, req.w0);
    }
}

void nvp6114_rd(int argc, char **argv)
{
    tw_single(argc, argv, 3, I2C_SEL_NVP, I2C_REG_READ, "tw286x_rd error!");
}

void nvp6114_wr(int argc, char **argv)
{
    tw_single(argc, argv, 4, I2C_SEL_NVP, I2C_REG_WRITE, "tw286x_wr error!");
}

void nvp6114_mrd(int argc, char **argv)
{
    qn_req_t req;
    if (!parse_into(req, argc, argv, 4))
        return;
    const uint32_t bank = req.w2 & 0xFFu, first = req.w3 & 0xFFu, count = req.w4;
    for (uint32_t i = 0; i < count; ++i) {
        req.w0 = I2C_SEL_NVP;
        req.w2 = bank;
        req.w3 = first + i;
        tw_request(I2C_REG_READ, req, "tw286x_mrd error!");
        print_reg_line(first + i, req.w0);
    }
}

// Dumps banks 0 to 4 of one decoder, switching banks through its register
// 0xFF on the plain I2C path. The bus is paced with 1 ms pauses; register 0xFF
// is left at bank 4.
void nvp6114_mrd_xm(int argc, char **argv)
{
    constexpr uint32_t BANK_REG = 0xFF;
    constexpr useconds_t PAUSE_US = 1000;
    qn_req_t req;
    if (!parse_into(req, argc, argv, 1))
        return;
    const uint32_t chip = req.w1 & 0xFFu;
    printf("chip=0x%02x\n", chip);
    for (uint32_t bank = 0; bank <= 4; ++bank) {
        memset(&req, 0, sizeof(req));
        req.w0 = I2C_SEL_PLAIN;
        req.w1 = chip;
        req.w2 = BANK_REG;
        req.w3 = bank;
        tw_request(I2C_REG_WRITE, req, "i2c_wr error!");
        usleep(PAUSE_US);

        req.w0 = I2C_SEL_PLAIN;
        req.w1 = chip;
        req.w2 = BANK_REG;
        tw_request(I2C_REG_READ, req, "i2c_mrd error!");
        printf("[bank%d]\n", (int)req.w0);

        for (uint32_t reg = 0; reg <= 0xFF; ++reg) {
            req.w0 = I2C_SEL_PLAIN;
            req.w1 = chip;
            req.w2 = reg;
            tw_request(I2C_REG_READ, req, "i2c_mrd error!");
            print_reg_line(reg, req.w0);
            usleep(PAUSE_US);
        }
        usleep(PAUSE_US);
    }
}
