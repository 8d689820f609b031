// The Content-Range of an answer to a request for the rest of a file: the
// first byte picks the status and where the kept bytes end, the rest is the
// header's value.
#include "fuzzcheck.h"
#include "http/replyrules.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const int status = data[0] % 3 == 0 ? 200 : data[0] % 3 == 1 ? 206 : 416;
    const qint64 from = data[0] / 3;
    const QByteArray contentRange(reinterpret_cast<const char *>(data + 1), static_cast<int>(size - 1));
    qint64 total = -1;
    const ResumeAnswer answer = resumeAnswer(status, contentRange, from, &total);
    FUZZ_CHECK((answer == ResumeAnswer::Whole) == (status == 200));
    // Only a continuation from exactly the kept bytes is taken, and it names
    // a whole size beyond them; nothing else sets a size.
    if (answer == ResumeAnswer::Rest)
        FUZZ_CHECK(status == 206 && total > from
                   && contentRange.trimmed().startsWith("bytes " + QByteArray::number(from) + '-'));
    else
        FUZZ_CHECK(total == -1);
    return 0;
}
