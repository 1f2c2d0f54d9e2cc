#pragma once
// The language of the windows. The Chinese captions and messages are the
// program's own texts and stay the default; English comes from the
// translation built into the program, chosen by --lang en, by LANGUAGE, or
// from the window's menu.

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace ds::ui {

// The one context every translated text is filed under.
inline constexpr const char* kTextContext = "DatumSift";

// A text of the program in the language in use.
QString tx(const char* source);

// "en" when the arguments hold "--lang en" (or "--lang=en"), else when the
// first entry of a LANGUAGE value is English; "zh" when --lang names
// Chinese; "" otherwise (the default texts). The argument wins over the
// environment.
QString language_asked(const QStringList& arguments, const QByteArray& language_env);

// Installs the translation for "en", or removes it for anything else; open
// windows hear of it as a LanguageChange. False when the English
// translation could not be loaded (the default texts stay).
bool use_language(const QString& code);
// "en" or "zh".
QString language_in_use();

} // namespace ds::ui
