#include "ui/OptionDlg.h"

COptionDlg::COptionDlg(QWidget* pParent) : QDialog(pParent) {}
