#include "command-line.h"

#include <QCommandLineParser>
#include <QStringList>

#ifndef VEXIL_VERSION
#error "VEXIL_VERSION comes from the build (the project's version)"
#endif

QString VexilVersion() {
    return QStringLiteral(VEXIL_VERSION);
}

namespace {

QString Usage() {
    return QStringLiteral(
        "Usage: vexil [OPTION]... [--] [COMMAND [ARGUMENT]...]\n"
        "Runs COMMAND through /bin/sh in a window and shows everything it writes, as it is\n"
        "written. Several words are joined into one command, each quoted for the shell where\n"
        "needed; without a command the window opens with an empty command field.\n"
        "\n"
        "Options:\n"
        "  -h, --help     show this help and exit\n"
        "  -v, --version  show the version and exit\n"
        "  --exit-at-end  close the window once COMMAND has ended and its end line is shown;\n"
        "                 the exit status is the command's\n"
        "  --             end of options: what follows is the command, even when it starts\n"
        "                 with \"-\"\n"
        "\n"
        "Words after the first word of the command are never read as options:\n"
        "  vexil ls -l        runs \"ls -l\"\n"
        "  vexil -- -x        runs \"-x\"\n"
        "\n"
        "See vexil(1).\n");
}

}  // namespace

SVexilCommandLine VexilParseCommandLine(int argc, char** argv) {
    SVexilCommandLine result;
    QStringList args;
    for (int i = 0; i < argc; ++i) {
        args << QString::fromLocal8Bit(argv[i]);
    }
    QCommandLineParser parser;
    // "vexil ls -l": options end at the command's first word.
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsPositionalArguments);
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption version(QStringList{QStringLiteral("v"), QStringLiteral("version")});
    const QCommandLineOption exitAtEnd(QStringLiteral("exit-at-end"));
    parser.addOption(help);
    parser.addOption(version);
    parser.addOption(exitAtEnd);
    if (!parser.parse(args)) {
        result.eStart = EVexilStart::Refused;
        result.strText =
            QStringLiteral("vexil: ") + parser.errorText() + QStringLiteral("\n\n") + Usage();
        return result;
    }
    if (parser.isSet(help)) {
        result.eStart = EVexilStart::Exit;
        result.strText = Usage();
        return result;
    }
    if (parser.isSet(version)) {
        result.eStart = EVexilStart::Exit;
        result.strText = QStringLiteral("vexil ") + VexilVersion() + QStringLiteral("\n");
        return result;
    }
    result.bExitAtEnd = parser.isSet(exitAtEnd);
    // The command's words are the last arguments, byte for byte as they came.
    result.nCommandIndex = argc - static_cast<int>(parser.positionalArguments().size());
    return result;
}
