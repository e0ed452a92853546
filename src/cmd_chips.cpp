// Register tools: SoC registers (hr, hw), plain I2C devices (ird, iwr, imrd)
// and the NVP6114 video decoder (nrd, nwr, nmrd, xm).
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "add_func.h"
#include "parse_cmd.h"
#include "qn_shell.h"

namespace {

// Up to four numbers, in the order they go into the block from w1 on; the
// ones not typed for are 0.
struct numbers_t {
    uint32_t n[4];
};

bool parse_numbers(numbers_t &nums, int argc, char **argv, int count)
{
    memset(&nums, 0, sizeof(nums));
    return check_args(argc, argv, nums.n, count) == 0;
}

// One request on the I2C driver: the selector in w0, `count` numbers from w1
// on. A read prints its result after a failure too, with w0 as the driver
// left it.
void tw_single(int argc, char **argv, int count, uint32_t sel, uint32_t code, const char *err)
{
    numbers_t a;
    if (!parse_numbers(a, argc, argv, count))
        return;
    qn_req_t req;
    add_func(code, &req, qn_req_t{sel, a.n[0], a.n[1], a.n[2], a.n[3]}, err);
    if (code == I2C_REG_READ)
        printf("read : 0x%02X\n", req.w0);
}

void print_reg_line(uint32_t reg, uint32_t val)
{
    printf("read : adr=0x%02X, val = 0x%02X\n", reg, val);
}

} // namespace

void hs3515_rd(int argc, char **argv)
{
    numbers_t a;
    if (!parse_numbers(a, argc, argv, 1))
        return;
    qn_req_t req;
    add_func(QN_REG_ACCESS, &req, qn_req_t{REG_ACCESS_READ, a.n[0], 0, 0, 0}, "hs3515_rd error!");
    printf("read : 0x%08X\n", req.w0);
}

void hs3515_wr(int argc, char **argv)
{
    numbers_t a;
    if (!parse_numbers(a, argc, argv, 2))
        return;
    qn_req_t req;
    add_func(QN_REG_ACCESS, &req, qn_req_t{REG_ACCESS_WRITE, a.n[0], a.n[1], 0, 0}, "hs3515_wr error!");
}

void i2c_rd(int argc, char **argv)
{
    tw_single(argc, argv, 2, I2C_SEL_PLAIN, I2C_REG_READ, "i2c_rd error!");
}

void i2c_wr(int argc, char **argv)
{
    tw_single(argc, argv, 3, I2C_SEL_PLAIN, I2C_REG_WRITE, "i2c_wr error!");
}

// The count stays in w3 of every read, where it was parsed. A key on the
// console stops the listing between two reads.
void i2c_mrd(int argc, char **argv)
{
    numbers_t a;
    if (!parse_numbers(a, argc, argv, 3))
        return;
    const uint32_t dev = a.n[0], first = a.n[1], count = a.n[2];
    for (uint32_t i = 0; i < count; ++i) {
        if (i > 0 && listing_stopped())
            return;
        qn_req_t req;
        add_func(I2C_REG_READ, &req, qn_req_t{I2C_SEL_PLAIN, dev, first + i, count, 0}, "i2c_mrd error!");
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

// Bank and first register are used by their low 8 bits; the count stays in
// w4 of every read. A key on the console stops the listing between two reads.
void nvp6114_mrd(int argc, char **argv)
{
    numbers_t a;
    if (!parse_numbers(a, argc, argv, 4))
        return;
    const uint32_t chip = a.n[0], bank = a.n[1] & 0xFFu, first = a.n[2] & 0xFFu, count = a.n[3];
    for (uint32_t i = 0; i < count; ++i) {
        if (i > 0 && listing_stopped())
            return;
        qn_req_t req;
        add_func(I2C_REG_READ, &req, qn_req_t{I2C_SEL_NVP, chip, bank, first + i, count}, "tw286x_mrd error!");
        print_reg_line(first + i, req.w0);
    }
}

// Dumps banks 0 to 4 of one decoder, switching banks through its register
// 0xFF on the plain I2C path; the bank number stays in w3 of the reads that
// follow its switch. The bus is paced with 1 ms pauses; register 0xFF is left
// at bank 4. A key on the console stops the dump between two reads.
void nvp6114_mrd_xm(int argc, char **argv)
{
    constexpr uint32_t BANK_REG = 0xFF;
    constexpr useconds_t PAUSE_US = 1000;
    numbers_t a;
    if (!parse_numbers(a, argc, argv, 1))
        return;
    const uint32_t chip = a.n[0] & 0xFFu;
    printf("chip=0x%02x\n", chip);
    qn_req_t req;
    for (uint32_t bank = 0; bank <= 4; ++bank) {
        if (bank > 0 && listing_stopped())
            return;
        add_func(I2C_REG_WRITE, &req, qn_req_t{I2C_SEL_PLAIN, chip, BANK_REG, bank, 0}, "i2c_wr error!");
        usleep(PAUSE_US);
        add_func(I2C_REG_READ, &req, qn_req_t{I2C_SEL_PLAIN, chip, BANK_REG, bank, 0}, "i2c_mrd error!");
        printf("[bank%d]\n", (int)req.w0);
        for (uint32_t reg = 0; reg <= 0xFF; ++reg) {
            if (listing_stopped())
                return;
            add_func(I2C_REG_READ, &req, qn_req_t{I2C_SEL_PLAIN, chip, reg, bank, 0}, "i2c_mrd error!");
            print_reg_line(reg, req.w0);
            usleep(PAUSE_US);
        }
        usleep(PAUSE_US);
    }
}
