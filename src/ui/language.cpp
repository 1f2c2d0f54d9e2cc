#include "ui/language.h"

#include <QCoreApplication>
#include <QTranslator>

namespace ds::ui {

namespace {

QTranslator& english() {
    static QTranslator t;
    return t;
}

bool& english_installed() {
    static bool on = false;
    return on;
}

QString code_of(const QString& name) {
    const QString n = name.trimmed().toLower();
    if (n.startsWith(QLatin1String("en"))) return QStringLiteral("en");
    if (n.startsWith(QLatin1String("zh"))) return QStringLiteral("zh");
    return {};
}

} // namespace

QString tx(const char* source) { return QCoreApplication::translate(kTextContext, source); }

QString language_asked(const QStringList& arguments, const QByteArray& language_env) {
    for (int i = 0; i < arguments.size(); ++i) {
        const QString& a = arguments[i];
        if (a == QLatin1String("--lang") && i + 1 < arguments.size()) return code_of(arguments[i + 1]);
        if (a.startsWith(QLatin1String("--lang="))) return code_of(a.mid(7));
    }
    // LANGUAGE is a list of preferences ("en_GB:en:zh"): the first counts.
    const QString first = QString::fromLocal8Bit(language_env).section(QLatin1Char(':'), 0, 0);
    return code_of(first) == QLatin1String("en") ? QStringLiteral("en") : QString();
}

bool use_language(const QString& code) {
    if (code != QLatin1String("en")) {
        if (english_installed()) QCoreApplication::removeTranslator(&english());
        english_installed() = false;
        return true;
    }
    if (english_installed()) return true;
    if (!english().load(QStringLiteral(":/i18n/datumsift_en.qm"))) return false;
    english_installed() = QCoreApplication::installTranslator(&english());
    return english_installed();
}

QString language_in_use() { return english_installed() ? QStringLiteral("en") : QStringLiteral("zh"); }

} // namespace ds::ui
