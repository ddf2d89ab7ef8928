// Shows what reached the broker stand-in's quote store, so ticks and backfill can be
// checked without the charting program.
//
//   vantrel-quotes [--db <folder>] SYMBOL   one line per quote, oldest first:
//                                           YYYY-MM-DD HH:MM:SS.mmm,open,high,low,close,volume,openint
//   vantrel-quotes [--db <folder>] --symbols  "SYMBOL count" per symbol (also with no argument)
//   vantrel-quotes [--db <folder>] --count    number of quotes of all symbols
//
// The folder defaults to the installation's database folder. Exit code 1 when the store
// does not exist or cannot be read, 2 for a bad command line.

#include "platform/installpaths.h"
#include "platform/standin/quotestore.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTextStream>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vantrel-quotes"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Prints the quotes the broker stand-in stored."));
    parser.addHelpOption();
    const QCommandLineOption dbOption(QStringLiteral("db"),
                                      QStringLiteral("Database folder (default: %1).")
                                          .arg(InstallPaths::databaseDir()),
                                      QStringLiteral("folder"));
    const QCommandLineOption symbolsOption(QStringLiteral("symbols"),
                                           QStringLiteral("List symbols with their number of quotes."));
    const QCommandLineOption countOption(QStringLiteral("count"), QStringLiteral("Print the number of quotes."));
    parser.addOption(dbOption);
    parser.addOption(symbolsOption);
    parser.addOption(countOption);
    parser.addPositionalArgument(QStringLiteral("symbol"), QStringLiteral("Symbol whose quotes to print."));
    parser.process(app);

    QTextStream out(stdout);
    QTextStream err(stderr);

    const QStringList positional = parser.positionalArguments();
    const int modes = int(parser.isSet(symbolsOption)) + int(parser.isSet(countOption))
        + int(!positional.isEmpty());
    if (modes > 1 || positional.size() > 1) {
        err << "vantrel-quotes: give one of SYMBOL, --symbols or --count\n";
        return 2;
    }

    const QString folder = parser.isSet(dbOption) ? parser.value(dbOption) : InstallPaths::databaseDir();
    QuoteStore store;
    if (!store.open(folder)) {
        err << "vantrel-quotes: " << store.errorString() << '\n';
        return 1;
    }

    if (parser.isSet(countOption)) {
        const qint64 n = store.count();
        if (n < 0) {
            err << "vantrel-quotes: " << store.errorString() << '\n';
            return 1;
        }
        out << n << '\n';
        return 0;
    }

    if (!positional.isEmpty()) {
        const QString symbol = positional.first();
        const QVector<ImportedQuote> quotes = store.quotes(symbol);
        if (quotes.isEmpty() && !store.errorString().isEmpty()) {
            err << "vantrel-quotes: " << store.errorString() << '\n';
            return 1;
        }
        for (const ImportedQuote &q : quotes)
            out << QuoteStore::formatQuote(q) << '\n';
        if (quotes.isEmpty())
            err << "vantrel-quotes: no quotes for " << symbol << '\n';
        return 0;
    }

    for (const auto &entry : store.symbols())
        out << entry.first << ' ' << entry.second << '\n';
    if (!store.errorString().isEmpty()) {
        err << "vantrel-quotes: " << store.errorString() << '\n';
        return 1;
    }
    return 0;
}
