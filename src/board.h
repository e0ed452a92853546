// Per-model lookup over the constant board tables.
#ifndef QN_BOARD_H
#define QN_BOARD_H

#include <stddef.h>
#include <stdint.h>

#include "qn_shell.h"

namespace board {

// The row of `rows` that serves the board model read at start-up, or null:
// a model that a table does not list is never an error.
template <typename Row, size_t N>
const Row *for_model(const Row (&rows)[N])
{
    for (size_t i = 0; i < N; ++i)
        if (rows[i].type == gb_hardInfo.hardware_type)
            return &rows[i];
    return NULL;
}

// The rows a table holds for one model.
template <typename Row>
struct model_rows {
    uint32_t type;
    const Row *rows;
    size_t count;
};

template <typename Row, size_t N>
constexpr model_rows<Row> rows_of(uint32_t type, const Row (&rows)[N])
{
    return model_rows<Row>{type, rows, N};
}

// "on"/"off" words as buzzer, campw and revkey take them: a word beginning
// with "on" is on, else one beginning with "off" is off. 1, 0, or -1.
int on_off_word(const char *w);

} // namespace board

#endif
