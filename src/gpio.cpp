// GPIO pins through the board driver's register access.
#include "gpio.h"

#include "add_func.h"

namespace gpio {

void pin_write(pin_t p, int level)
{
    if (valid(p))
        reg_write(pin_addr(p), level_value(p, level));
}

uint32_t bank_read(uint32_t bank)
{
    return reg_read(bank_addr(bank));
}

} // namespace gpio
