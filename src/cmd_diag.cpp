// Diagnostics: the input status report and the DDR size probe.
#include <stdio.h>
#include <string.h>

#include "add_func.h"
#include "board.h"
#include "console_seq.h"
#include "gpio.h"

// GBK texts of the status report.
#define ZT "\xD7\xB4\xCC\xAC"                             // 状态 state
#define KA_OUT "\xBF\xA8\xB0\xCE\xB3\xF6"                 // 卡拔出 card removed
#define KA_IN "\xBF\xA8\xB2\xE5\xC8\xEB"                  // 卡插入 card inserted
#define JIE_IN "\xBD\xD3\xC8\xEB"                         // 接入 plugged in
#define JIE_OUT "\xBD\xD3\xB3\xF6"                        // 接出 unplugged
#define MOD_YES "\xC4\xA3\xBF\xE9\xB4\xE6\xD4\xDA"        // 模块存在 module present
#define MOD_NO "\xC4\xA3\xBF\xE9\xB2\xBB\xB4\xE6\xD4\xDA" // 模块不存在 module absent

struct io_single {
    char name[32];
    unsigned char val;
    char alias[64];
};

io_single stio[8];

namespace {

// One input: its pin, label and the state texts of the two levels. The
// hardware-version row reads two straps instead (bit 6 adds 1, bit 7 adds 2).
struct io_row_t {
    uint8_t bank;
    uint8_t bit;
    const char *name;
    const char *alias_hi;
    const char *alias_lo;
    bool hw_version;
};

const char *const HW_VERSION_TEXT[4] = {
    ZT ": 4d1_2x720P\r",
    ZT ": 8d1\r",
    ZT ": 4x720p\r",
    ZT ": unknown\r",
};

constexpr io_row_t KD3252_IO[] = {
    {6, 3, "bit0: LOCK (P6.3)", ZT ": LOCK IN(high)\r", ZT ": LOCK OFF(low)\r", false},
    {0, 6, "bit1: SD1_CARDIN(P0.6)", ZT ": SD" KA_OUT "(high)\r", ZT ": SD" KA_IN "(low)\r", false},
};
constexpr io_row_t KD3454_IO[] = {
    {5, 6, "bit0: SD1_CARDIN(P56)", ZT ": SD1" KA_OUT "(high)\r", ZT ": SD1" KA_IN "(low)\r", false},
    {8, 2, "bit1: SD2_CARDIN(P82)", ZT ": SD2" KA_OUT "(high)\r", ZT ": SD2" KA_IN "(low)\r", false},
    {0, 6, "bit2: PowerSupply(P06)", ZT ": power pull out(high)\r", ZT ": power insert(low)\r", false},
    {2, 2, "bit3: LOCK(P22)", ZT ": LOCK OFF(high)\r", ZT ": LOCK IN(low)\r", false},
    {6, 6, "bit4: HwVer(P67/P66)", NULL, NULL, true},
};
constexpr io_row_t KD3353_IO[] = {
    {0, 2, "bit0: TALK_PLUGIN(P02)", ZT ": TALK" JIE_IN "(high)\r", ZT ": TALK" JIE_OUT "(low)\r", false},
    {0, 4, "bit1: EMERGE(P04)", ZT ": EMERGE(high)\r", ZT ": EMERGE(low)\r", false},
    {0, 5, "bit2: SD2_CARDIN(P05)", ZT ": SD2" KA_OUT "(high)\r", ZT ": SD2" KA_IN "(low)\r", false},
    {0, 6, "bit3: SD1_CARDIN(P06)", ZT ": SD1" KA_OUT "(high)\r", ZT ": SD1" KA_IN "(low)\r", false},
    {1, 3, "bit4: PowerSupply(P13)", ZT ": power pull out(high)\r", ZT ": power insert(low)\r", false},
    {2, 1, "bit5: SIMA(P2.1)", ZT ": SIMA" KA_OUT "(high)\r", ZT ": SIMA" KA_IN "(low)\r", false},
    {2, 2, "bit6: SIMB(P2.2)", ZT ": SIMB" KA_OUT "(high)\r", ZT ": SIMB" KA_IN "(low)\r", false},
};
constexpr io_row_t KD3555_IO[] = {
    {0, 0, "bit0: WIFI_EXIST(P00)", ZT ": WIFI" MOD_YES "(high)\r", ZT ": WIFI" MOD_NO "(low)\r", false},
    {0, 1, "bit1: GPS_EXIST(P01)", ZT ": GPS" MOD_YES "(high)\r", ZT ": GPS" MOD_NO "(low)\r", false},
    {0, 2, "bit2: IR_EXIST(P02)", ZT ": IR" MOD_YES "(high)\r", ZT ": IR" MOD_NO "(low)\r", false},
    {0, 4, "bit3: EMERGE(P04)", ZT ": EMERGE(high)\r", ZT ": EMERGE(low)\r", false},
    {0, 5, "bit4: SD1_CARDIN(P05)", ZT ": CARDIN OFF(high)\r", ZT ": CARDIN IN(low)\r", false},
    {0, 7, "bit5: TALK_IN(P07)", ZT ": TALK IN(high)\r", ZT ": TALK OFF(low)\r", false},
    {1, 3, "bit6: PowerSupply(P13)", ZT ": power pull out(high)\r", ZT ": power insert(low)\r", false},
};

static_assert(gpio::bank_addr(KD3252_IO[0].bank) == 0x201B03FCu && gpio::bank_addr(KD3252_IO[1].bank) == 0x201503FCu,
              "KD3252 inputs");
static_assert(gpio::bank_addr(KD3454_IO[0].bank) == 0x201A03FCu && gpio::bank_addr(KD3454_IO[1].bank) == 0x201D03FCu &&
                  gpio::bank_addr(KD3454_IO[3].bank) == 0x201703FCu,
              "KD3454 inputs");
static_assert(gpio::bank_addr(KD3353_IO[4].bank) == 0x201603FCu, "KD3353 inputs");

constexpr board::model_rows<io_row_t> IO_MODELS[] = {
    board::rows_of(HARDWARE_TYPE_KD3252, KD3252_IO),
    board::rows_of(HARDWARE_TYPE_KD3454, KD3454_IO),
    board::rows_of(HARDWARE_TYPE_KD3353, KD3353_IO),
    board::rows_of(HARDWARE_TYPE_KD3555, KD3555_IO),
};
static_assert(sizeof(KD3353_IO) / sizeof(KD3353_IO[0]) <= sizeof(stio) / sizeof(stio[0]), "input table fits");

void copy_text(char *dst, size_t size, const char *src)
{
    memset(dst, 0, size);
    strncpy(dst, src, size - 1);
}

} // namespace

void get_io_state(int argc, char **argv)
{
    (void)argc;
    (void)argv;
    const board::model_rows<io_row_t> *table = board::for_model(IO_MODELS);
    const int dev_io_num = table ? (int)table->count : 0;
    for (int i = 0; i < dev_io_num; ++i) {
        memset(stio[i].name, 0, sizeof(stio[i].name));
        stio[i].val = 0;
    }
    // Rows of one bank stand together; each bank is read once, before its
    // first row.
    uint32_t value = 0;
    for (int i = 0; i < dev_io_num; ++i) {
        const io_row_t &row = table->rows[i];
        if (i == 0 || row.bank != table->rows[i - 1].bank)
            value = gpio::bank_read(row.bank);
        io_single &io = stio[i];
        copy_text(io.name, sizeof(io.name), row.name);
        if (row.hw_version) {
            io.val = (unsigned char)(((value >> 6) & 1u) + ((value >> 7) & 1u) * 2u);
            copy_text(io.alias, sizeof(io.alias), HW_VERSION_TEXT[io.val]);
        } else {
            io.val = (unsigned char)((value >> row.bit) & 1u);
            copy_text(io.alias, sizeof(io.alias), io.val ? row.alias_hi : row.alias_lo);
        }
    }
    printf("===%s GpioDevice status====\n" SEQ_GREEN, gb_hardInfo.mb_name);
    for (int i = 0; i < dev_io_num; ++i)
        printf("%s \t\tval=%d\t%s\n", stio[i].name, stio[i].val, stio[i].alias);
    puts(SEQ_NORMAL " ");
}

namespace {

constexpr uint32_t DDR_GEOMETRY = 0x2011002Cu; // column code bits 0-2, row code bits 4-6
constexpr uint32_t DDR_WIDTH = 0x2011001Cu;    // bus-width code bits 4-5
constexpr uint8_t COL_BITS[8] = {8, 9, 10, 11, 12, 0, 0, 0};
constexpr uint8_t ROW_BITS[8] = {11, 12, 13, 14, 15, 16, 0, 0};
constexpr uint8_t BUS_BITS[4] = {16, 32, 0, 0};

} // namespace

// The size follows from the geometry the DDR controller was set up with; it
// is kept to 32 bits, so 4 GiB and more shows as 0.
void get_ddrsize(int argc, char **argv)
{
    (void)argc;
    (void)argv;
    const uint32_t geometry = reg_read(DDR_GEOMETRY);
    const uint32_t width = reg_read(DDR_WIDTH);
    const uint32_t col_num = COL_BITS[geometry & 0x7u];
    const uint32_t row_num = ROW_BITS[(geometry >> 4) & 0x7u];
    const uint32_t bits = BUS_BITS[(width >> 4) & 0x3u];
    const uint32_t ddr_size = bits << (row_num + col_num);
    printf(SEQ_GREEN "ddr_size:%dMB 0x%x\n", (int)(ddr_size >> 20), ddr_size);
    puts(SEQ_NORMAL " ");
}
