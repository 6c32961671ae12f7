#pragma once

#include <QDialog>

// The options dialog (stub: being built).
class COptionDlg final : public QDialog {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(COptionDlg)

public:
    explicit COptionDlg(QWidget* pParent = nullptr);
};
