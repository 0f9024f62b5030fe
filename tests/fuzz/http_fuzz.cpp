// Arbitrary bytes as a request to the metrics page: the judge reads nothing past them, answers
// only with the statuses it names, and judges every head that fills the room it is given (the
// server reads no more into a full one).
#include <stdint.h>
#include <stdlib.h>

#include "net/http.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > HTTP_HEAD_MAX_BYTES)
        size = HTTP_HEAD_MAX_BYTES;
    http_verdict verdict = http_judge(reinterpret_cast<const char *>(data), size, "/metrics", "/");
    switch (verdict.status) {
    case 0:
        if (size == HTTP_HEAD_MAX_BYTES)
            abort();
        break;
    case 200: case 400: case 404: case 405: case 414: case 431: case 505:
        break;
    default:
        abort();
    }
    if (verdict.head && verdict.status != 200)
        abort();
    return 0;
}
