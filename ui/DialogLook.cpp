#include "ui/DialogLook.h"

#include <QApplication>
#include <QFont>
#include <QFontDatabase>
#include <QLibraryInfo>
#include <QLocale>
#include <QPalette>
#include <QTranslator>

namespace orvanta {
namespace {

void SetDialogColors(QApplication& app)
{
    QPalette palette = app.palette();
    for (const QPalette::ColorRole role : {QPalette::Window, QPalette::Base, QPalette::Button}) {
        palette.setColor(role, Qt::white);
    }
    for (const QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) {
        palette.setColor(role, Qt::black);
    }
    app.setPalette(palette);
}

void SetDialogFont(QApplication& app)
{
    // The game's dialogs use a 9-point Korean face.
    for (const char* family : {"NanumGothic", "NanumBarunGothic", "Gulim"}) {
        if (QFontDatabase::hasFamily(QString::fromLatin1(family))) {
            app.setFont(QFont(QString::fromLatin1(family), 9));
            return;
        }
    }
}

// The standard buttons of message boxes ("확인", "취소") in Korean, from
// Qt's own translation; the program's texts are Korean already. Without
// the translation installed the buttons stay in English.
void InstallQtTranslation(QApplication& app)
{
    auto* pTranslator = new QTranslator(&app);
    if (pTranslator->load(QLocale(QLocale::Korean, QLocale::SouthKorea), QStringLiteral("qtbase"),
                          QStringLiteral("_"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QApplication::installTranslator(pTranslator);
    else
        delete pTranslator;
}

} // namespace

void SetDialogLook(QApplication& app)
{
    SetDialogColors(app);
    SetDialogFont(app);
    InstallQtTranslation(app);
}

} // namespace orvanta
