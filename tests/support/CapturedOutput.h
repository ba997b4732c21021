#pragma once

#include <QFile>
#include <QStringList>
#include <QTemporaryFile>

#include <unistd.h>
#include <cstdio>

namespace tandrel::testing {

// Sends standard output to a file while it lives, so a test can read the lines the code
// printed. Everything captured is echoed back afterwards, so a failure message that QtTest
// printed meanwhile is not lost.
class CapturedOutput {
public:
    CapturedOutput()
    {
        m_file.open();
        std::fflush(stdout);
        m_saved = ::dup(STDOUT_FILENO);
        ::dup2(m_file.handle(), STDOUT_FILENO);
    }
    ~CapturedOutput()
    {
        const QByteArray captured = text();
        ::dup2(m_saved, STDOUT_FILENO);
        ::close(m_saved);
        std::fwrite(captured.constData(), 1, static_cast<size_t>(captured.size()), stdout);
        std::fflush(stdout);
    }
    CapturedOutput(const CapturedOutput&) = delete;
    CapturedOutput& operator=(const CapturedOutput&) = delete;

    QStringList lines()
    {
        QStringList result = QString::fromUtf8(text()).split(QLatin1Char('\n'));
        if (!result.isEmpty() && result.last().isEmpty()) {
            result.removeLast();
        }
        return result;
    }

private:
    QByteArray text()
    {
        std::fflush(stdout);
        QFile reader(m_file.fileName());
        reader.open(QIODevice::ReadOnly);
        return reader.readAll();
    }

    QTemporaryFile m_file;
    int m_saved = -1;
};

}  // namespace tandrel::testing
