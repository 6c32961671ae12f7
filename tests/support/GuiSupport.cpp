#include "support/GuiSupport.h"

#include "support/TestSupport.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDeadlineTimer>
#include <QDialog>
#include <QMessageBox>
#include <QTimer>

#include <memory>

namespace testing_support {

void AnswerNextDialog(DialogAnswer* pAnswer, const QString& buttonText, int timeoutMs)
{
    auto* pTimer = new QTimer;
    auto deadline = std::make_shared<QDeadlineTimer>(ScaledMs(timeoutMs));
    QObject::connect(pTimer, &QTimer::timeout, [pTimer, pAnswer, buttonText, deadline]() {
        QWidget* pModal = QApplication::activeModalWidget();
        auto* pDialog = qobject_cast<QDialog*>(pModal);
        if (!pDialog) {
            if (deadline->hasExpired())
                pTimer->deleteLater();
            return;
        }
        pTimer->stop();
        pTimer->deleteLater();
        pAnswer->bSeen = true;
        pAnswer->title = pDialog->windowTitle();
        if (auto* pBox = qobject_cast<QMessageBox*>(pDialog))
            pAnswer->text = pBox->text();
        if (buttonText.isEmpty()) {
            pDialog->accept();
            return;
        }
        const auto buttons = pDialog->findChildren<QAbstractButton*>();
        for (QAbstractButton* pButton : buttons) {
            if (pButton->text().remove(QLatin1Char('&')) == buttonText) {
                pButton->click();
                return;
            }
        }
        pDialog->reject();
    });
    pTimer->start(10);
}

void SettleView(QObject& window)
{
    auto* pTimer = window.findChild<QTimer*>(QStringLiteral("viewTimer"));
    WaitFor([pTimer] { return !pTimer || !pTimer->isActive(); });
}

} // namespace testing_support
