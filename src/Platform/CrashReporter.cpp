#include "Platform/CrashReporter.h"

#include "BuildConfig.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>

#include <elf.h>
#include <execinfo.h>
#include <link.h>
#include <fcntl.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

namespace tandrel {
namespace {

// Everything below is filled in by configure(); the handler only reads it.
constexpr std::size_t kPathCapacity = 4096;
constexpr std::size_t kHeaderCapacity = 512;
constexpr int kBacktraceDepth = 64;

char reportFolderPath[kPathCapacity];
char reportHeader[kHeaderCapacity];  // "version: …\nbundle: …\n"
std::size_t reportHeaderLength = 0;
void* backtraceFrames[kBacktraceDepth];
QString configuredFolder;

struct FatalSignal {
    int number;
    const char* name;
};
constexpr std::array<FatalSignal, 5> kFatalSignals{{
    {SIGSEGV, "SIGSEGV"},
    {SIGABRT, "SIGABRT"},
    {SIGBUS, "SIGBUS"},
    {SIGFPE, "SIGFPE"},
    {SIGILL, "SIGILL"},
}};

// Async-signal-safe helpers: no allocation, no locale, no stdio.
class Buffer {
public:
    void append(const char* text)
    {
        while (*text && m_length < sizeof(m_data) - 1) {
            m_data[m_length++] = *text++;
        }
        m_data[m_length] = '\0';
    }
    void appendNumber(long long value, int minimumDigits = 1)
    {
        char digits[24];
        int count = 0;
        const bool negative = value < 0;
        unsigned long long magnitude = negative ? 0ULL - static_cast<unsigned long long>(value) : value;
        do {
            digits[count++] = static_cast<char>('0' + magnitude % 10);
            magnitude /= 10;
        } while (magnitude > 0 && count < 23);
        while (count < minimumDigits && count < 23) {
            digits[count++] = '0';
        }
        if (negative) {
            append("-");
        }
        char reversed[24];
        for (int i = 0; i < count; ++i) {
            reversed[i] = digits[count - 1 - i];
        }
        reversed[count] = '\0';
        append(reversed);
    }
    const char* data() const { return m_data; }
    std::size_t length() const { return m_length; }

private:
    char m_data[kPathCapacity + 128] = {};
    std::size_t m_length = 0;
};

void writeAll(int fd, const char* data, std::size_t length)
{
    while (length > 0) {
        const ssize_t written = ::write(fd, data, length);
        if (written <= 0) {
            return;
        }
        data += written;
        length -= static_cast<std::size_t>(written);
    }
}

// Civil date from days since 1970-01-01 (Howard Hinnant's algorithm): plain arithmetic,
// so it is safe inside a signal handler, unlike gmtime().
void appendUtcTime(Buffer& out, long long seconds)
{
    long long days = seconds / 86400;
    long long secondOfDay = seconds % 86400;
    if (secondOfDay < 0) {
        secondOfDay += 86400;
        --days;
    }
    days += 719468;
    const long long era = (days >= 0 ? days : days - 146096) / 146097;
    const long long dayOfEra = days - era * 146097;
    const long long yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const long long dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const long long monthIndex = (5 * dayOfYear + 2) / 153;
    const long long day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
    const long long month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
    const long long year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
    out.appendNumber(year, 4);
    out.append("-");
    out.appendNumber(month, 2);
    out.append("-");
    out.appendNumber(day, 2);
    out.append("T");
    out.appendNumber(secondOfDay / 3600, 2);
    out.append(":");
    out.appendNumber(secondOfDay / 60 % 60, 2);
    out.append(":");
    out.appendNumber(secondOfDay % 60, 2);
    out.append("Z");
}

const char* signalName(int number)
{
    for (const FatalSignal& fatal : kFatalSignals) {
        if (fatal.number == number) {
            return fatal.name;
        }
    }
    return "UNKNOWN";
}

void handleFatalSignal(int number)
{
    const int savedErrno = errno;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);

    Buffer path;
    path.append(reportFolderPath);
    path.append("/crash-");
    path.appendNumber(now.tv_sec);
    path.append("-");
    path.appendNumber(getpid());
    path.append(".txt");
    const int fd = ::open(path.data(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd >= 0) {
        Buffer head;
        head.append("signal: ");
        head.appendNumber(number);
        head.append(" (");
        head.append(signalName(number));
        head.append(")\n");
        writeAll(fd, head.data(), head.length());
        writeAll(fd, reportHeader, reportHeaderLength);
        Buffer time;
        time.append("time: ");
        appendUtcTime(time, now.tv_sec);
        time.append("\nbacktrace:\n");
        writeAll(fd, time.data(), time.length());
        const int depth = backtrace(backtraceFrames, kBacktraceDepth);
        backtrace_symbols_fd(backtraceFrames, depth, fd);
        ::close(fd);
    }
    // Die of the same signal so the parent and the shell see the real cause.
    signal(number, SIG_DFL);
    errno = savedErrno;
    raise(number);
}

// The running program's build id (its NT_GNU_BUILD_ID note, as hex) and where it is
// loaded: a packaged program is stripped, and the id is what finds its debug symbols for
// the offsets in a backtrace.
struct ProgramIdentity {
    QByteArray buildId;
    quintptr loadAddress = 0;
};

int readProgramIdentity(dl_phdr_info* info, size_t, void* data)
{
    auto* identity = static_cast<ProgramIdentity*>(data);
    // The first object reported is the program itself.
    identity->loadAddress = info->dlpi_addr;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& header = info->dlpi_phdr[i];
        if (header.p_type != PT_NOTE) {
            continue;
        }
        const char* note = reinterpret_cast<const char*>(info->dlpi_addr + header.p_vaddr);
        const char* end = note + header.p_memsz;
        while (note + sizeof(ElfW(Nhdr)) <= end) {
            const auto* entry = reinterpret_cast<const ElfW(Nhdr)*>(note);
            const char* name = note + sizeof(ElfW(Nhdr));
            const char* desc = name + ((entry->n_namesz + 3) & ~3U);
            const char* next = desc + ((entry->n_descsz + 3) & ~3U);
            if (next > end) {
                break;
            }
            if (entry->n_type == NT_GNU_BUILD_ID && entry->n_namesz == 4 && std::memcmp(name, "GNU", 4) == 0) {
                identity->buildId = QByteArray(desc, qsizetype(entry->n_descsz)).toHex();
                return 1;
            }
            note = next;
        }
    }
    return 1;
}

void removeOldReports(const QString& folder, int keep)
{
    QDir dir(folder);
    const QFileInfoList reports =
        dir.entryInfoList({QStringLiteral("crash-*.txt")}, QDir::Files, QDir::Time | QDir::Reversed);
    for (qsizetype i = 0; i + keep < reports.size(); ++i) {
        QFile::remove(reports[i].absoluteFilePath());
    }
}

ProgramIdentity programIdentity()
{
    ProgramIdentity identity;
    dl_iterate_phdr(readProgramIdentity, &identity);
    return identity;
}

}  // namespace

QString CrashReporter::buildId()
{
    return QString::fromLatin1(programIdentity().buildId);
}

bool CrashReporter::configure(const QString& settingsPath)
{
    bool enabled = true;
    QString folderName = QStringLiteral("crashes");
    int maxReports = 20;
    QFile settingsFile(settingsPath);
    if (settingsFile.open(QIODevice::ReadOnly)) {
        const QJsonObject settings = QJsonDocument::fromJson(settingsFile.readAll()).object();
        enabled = settings.value(QStringLiteral("enabled")).toBool(enabled);
        const QString folder = settings.value(QStringLiteral("folder")).toString();
        // Only a plain name: the reports stay inside the application's cache folder.
        if (!folder.isEmpty() && !folder.contains(QLatin1Char('/')) && folder != QStringLiteral("..")) {
            folderName = folder;
        }
        maxReports = std::max(1, settings.value(QStringLiteral("maxReports")).toInt(maxReports));
    }
    if (!enabled) {
        return false;
    }

    const QString cache = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation);
    const QString folder =
        cache + QLatin1Char('/') + QString::fromUtf8(BuildConfig::bundleIdentifier) + QLatin1Char('/') + folderName;
    const QByteArray folderBytes = QFile::encodeName(folder);
    if (cache.isEmpty() || !QDir().mkpath(folder) || folderBytes.size() + 64 >= qsizetype(kPathCapacity)) {
        return false;
    }
    // A report holds a backtrace and the program's state; only the user may list or read
    // them, also in a folder an earlier version made with the umask's 0755.
    if (!QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner)) {
        return false;
    }
    removeOldReports(folder, maxReports);

    std::memcpy(reportFolderPath, folderBytes.constData(), folderBytes.size());
    reportFolderPath[folderBytes.size()] = '\0';
    const ProgramIdentity identity = programIdentity();
    const QByteArray header = QByteArrayLiteral("version: ") + BuildConfig::applicationVersion +
                              QByteArrayLiteral("\nbundle: ") + BuildConfig::bundleIdentifier +
                              QByteArrayLiteral("\nbuild-id: ") +
                              (identity.buildId.isEmpty() ? QByteArrayLiteral("unknown") : identity.buildId) +
                              QByteArrayLiteral("\nload-address: 0x") + QByteArray::number(identity.loadAddress, 16) +
                              '\n';
    reportHeaderLength = std::min<std::size_t>(header.size(), kHeaderCapacity);
    std::memcpy(reportHeader, header.constData(), reportHeaderLength);
    configuredFolder = folder;

    // backtrace() loads its unwinder on first use, which allocates: do it now, not in the
    // handler.
    backtrace(backtraceFrames, kBacktraceDepth);

    // A stack overflow leaves no stack for the handler; give it its own.
    static std::array<char, 64 * 1024> alternateStack;
    stack_t stack{};
    stack.ss_sp = alternateStack.data();
    stack.ss_size = alternateStack.size();
    sigaltstack(&stack, nullptr);

    struct sigaction action {};
    action.sa_handler = handleFatalSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_ONSTACK | SA_RESETHAND;
    for (const FatalSignal& fatal : kFatalSignals) {
        sigaction(fatal.number, &action, nullptr);
    }
    return true;
}

QString CrashReporter::reportFolder()
{
    return configuredFolder;
}

}  // namespace tandrel
