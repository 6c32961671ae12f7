#include "app/CommandLine.h"

#include <QStringList>

#ifdef _WIN32
#include <windows.h>
#endif

namespace orvanta {
namespace {
QString g_strCommandLine;
}

QString RawCommandLine(int argc, char** argv)
{
#ifdef _WIN32
    Q_UNUSED(argc);
    Q_UNUSED(argv);
    // The line as typed: skip the program's name, quoted or not.
    const wchar_t* p = GetCommandLineW();
    if (*p == L'"') {
        ++p;
        while (*p && *p != L'"')
            ++p;
        if (*p)
            ++p;
    } else {
        while (*p && *p != L' ' && *p != L'\t')
            ++p;
    }
    while (*p == L' ' || *p == L'\t')
        ++p;
    return QString::fromWCharArray(p);
#else
    // The shell has split the line into words; they are joined again with
    // one blank, as the text they came from most likely read.
    QStringList words;
    for (int i = 1; i < argc; ++i)
        words << QString::fromLocal8Bit(argv[i]);
    QString text = words.join(QLatin1Char(' '));
    qsizetype n = 0;
    while (n < text.size() && (text[n] == QLatin1Char(' ') || text[n] == QLatin1Char('\t')))
        ++n;
    return text.mid(n);
#endif
}

void SetCommandLineText(const QString& text)
{
    g_strCommandLine = text;
}

QString CommandLineText()
{
    return g_strCommandLine;
}

} // namespace orvanta
