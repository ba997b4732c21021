#include "Platform/Diagnostics.h"

#include <cstdio>
#include <mutex>

namespace tandrel {

void printLine(const QString& line)
{
    // One lock so lines from the VPN back end's threads never interleave mid-line.
    static std::mutex outputLock;
    const QByteArray bytes = line.toUtf8();
    std::lock_guard guard(outputLock);
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

}  // namespace tandrel
