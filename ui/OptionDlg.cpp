#include "ui/OptionDlg.h"

#include "settings/SettingsStore.h"
#include "ui/UpdaterDlg.h"

#include <QCheckBox>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QShowEvent>
#include <QStringList>

#include <algorithm>


int g_nPassive = 0;

namespace {

namespace store = orvanta::settings;

// The dialog's 9-point face: the game's own Korean UI font where the system
// has it, otherwise a Nanum face of the same build.
QFont DialogFont()
{
    const QStringList families = {QStringLiteral("굴림"), QStringLiteral("Gulim"), QStringLiteral("NanumGothic"),
                                  QStringLiteral("NanumBarunGothic")};
    for (const QString& family : families) {
        if (QFontDatabase::hasFamily(family))
            return QFont(family, 9);
    }
    QFont font;
    font.setPointSize(9);
    return font;
}

// The system's dialog base units of a font: the mean width of the Latin
// letters and the height of a line.
QSize BaseUnitsOf(const QFont& font)
{
    const QFontMetrics metrics(font);
    const int cx = metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    return QSize((cx / 26 + 1) / 2, metrics.height());
}

int MulDiv(int a, int b, int c)
{
    const long long n = static_cast<long long>(a) * b;
    return static_cast<int>((n + (n >= 0 ? c / 2 : -c / 2)) / c);
}

// An automatic check box toggles between checked and unchecked on a click,
// also from the third state the data exchange can put it in.
class CAutoCheckBox final : public QCheckBox {
public:
    using QCheckBox::QCheckBox;

protected:
    void nextCheckState() override
    {
        const bool bWasChecked = checkState() == Qt::Checked;
        setTristate(false);
        setCheckState(bWasChecked ? Qt::Unchecked : Qt::Checked);
    }
};

void CheckToControl(QCheckBox* pBox, std::int32_t& value)
{
    if (value < 0 || value > 2)
        value = 0;
    pBox->setCheckState(value == 2 ? Qt::PartiallyChecked : value == 1 ? Qt::Checked : Qt::Unchecked);
}

std::int32_t CheckFromControl(const QCheckBox* pBox)
{
    switch (pBox->checkState()) {
    case Qt::Checked:
        return 1;
    case Qt::PartiallyChecked:
        return 2;
    case Qt::Unchecked:
        break;
    }
    return 0;
}

} // namespace

COptionDlg::COptionDlg(QWidget* pParent)
    : QDialog(pParent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                           Qt::WindowCloseButtonHint)
{
    setObjectName(QStringLiteral("COptionDlg"));
    setProperty("ctrlId", IDD_OPTION);
    setWindowTitle(QStringLiteral("옵 션"));
    setFont(DialogFont());
    m_baseUnits = BaseUnitsOf(font());
    CreateControls();
    setFixedSize(MapDialogRect(QRect(0, 0, 139, 227)).size());
}

COptionDlg::~COptionDlg() = default;

QRect COptionDlg::MapDialogRect(const QRect& dlu) const
{
    const int left = MulDiv(dlu.x(), m_baseUnits.width(), 4);
    const int top = MulDiv(dlu.y(), m_baseUnits.height(), 8);
    const int right = MulDiv(dlu.x() + dlu.width(), m_baseUnits.width(), 4);
    const int bottom = MulDiv(dlu.y() + dlu.height(), m_baseUnits.height(), 8);
    return QRect(left, top, right - left, bottom - top);
}

void COptionDlg::CreateControls()
{
    // In template order, which is also the tab order.
    const auto place = [this](QWidget* pWidget, int nId, const char* name, QRect dlu) {
        pWidget->setProperty("ctrlId", nId);
        pWidget->setObjectName(QLatin1String(name));
        pWidget->setGeometry(MapDialogRect(dlu));
    };

    place(new QGroupBox(QStringLiteral("해상도"), this), IDC_GROUP_RESOLUTION, "groupResolution",
          QRect(7, 2, 125, 75));

    const char16_t* const resolutions[] = {u"640 X 480", u"800 X 600", u"1024 X 768", u"1280 X 1024"};
    const int resolutionY[] = {15, 30, 45, 59};
    const char* const radioNames[] = {"radio640", "radio800", "radio1024", "radio1280"};
    for (int i = 0; i < 4; ++i) {
        m_pRadio[i] = new QRadioButton(QString::fromUtf16(resolutions[i]), this);
        // The resolution buttons are no tab stops: the keyboard reaches them
        // only by a click, as in the game's own dialogs.
        m_pRadio[i]->setFocusPolicy(Qt::ClickFocus);
        place(m_pRadio[i], IDC_RADIO_640 + i, radioNames[i], QRect(31, resolutionY[i], 78, 8));
    }

    m_pBtnOk = new QPushButton(QStringLiteral("확 인"), this);
    m_pBtnOk->setDefault(true);
    place(m_pBtnOk, IDOK, "btnOk", QRect(7, 169, 50, 14));
    m_pBtnCancel = new QPushButton(QStringLiteral("취 소"), this);
    place(m_pBtnCancel, IDCANCEL, "btnCancel", QRect(82, 169, 50, 14));

    auto* pSound = new QGroupBox(QStringLiteral("사운드"), this);
    place(pSound, IDC_STATIC, "groupSound", QRect(7, 79, 125, 25));
    m_pCheckEax = new CAutoCheckBox(QStringLiteral("EAX 사용"), this);
    place(m_pCheckEax, IDC_CHECK_EAX, "checkEax", QRect(35, 89, 69, 8));
    // The template's frame is drawn with its title inside it here, which
    // leaves the box touching the title: centre it in the room below.
    const QRect room = pSound->contentsRect().translated(pSound->pos());
    QRect eax = m_pCheckEax->geometry();
    if (eax.top() < room.top() + 2) {
        eax.moveTop(room.top() + std::max(2, (room.height() - eax.height()) / 2));
        m_pCheckEax->setGeometry(eax);
    }

    place(new QGroupBox(QStringLiteral("사설 네트워크 사용자 "), this), IDC_STATIC, "groupNetwork",
          QRect(7, 111, 125, 49));
    m_pCheckPassive = new CAutoCheckBox(QStringLiteral("Passive Mode 사용"), this);
    place(m_pCheckPassive, IDC_CHECK_PASSIVE, "checkPassive", QRect(32, 146, 84, 8));

    auto* pText = new QLabel(QStringLiteral("자동업데이트가 안되는 사용자\n분들은 아래 옵션을 체크하십시요"), this);
    pText->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    pText->setWordWrap(false);
    place(pText, IDC_STATIC, "textExplanation", QRect(17, 125, 106, 18));

    // Below the template's controls, last in the tab order: the rate limit
    // and the repair.
    auto* pRateText = new QLabel(QStringLiteral("받기 속도 제한"), this);
    pRateText->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    place(pRateText, IDC_STATIC, "textMaxRate", QRect(7, 187, 58, 12));
    m_pSpinMaxRate = new QSpinBox(this);
    m_pSpinMaxRate->setRange(0, 1024 * 1024);
    m_pSpinMaxRate->setSingleStep(128);
    m_pSpinMaxRate->setSuffix(QStringLiteral(" KB/s"));
    m_pSpinMaxRate->setSpecialValueText(QStringLiteral("제한 없음"));
    m_pSpinMaxRate->setToolTip(QStringLiteral("업데이트가 쓰는 회선 속도의 상한입니다 (0: 제한 없음)"));
    place(m_pSpinMaxRate, IDC_SPIN_MAX_RATE, "spinMaxRate", QRect(66, 186, 66, 13));
    m_pBtnRepair = new QPushButton(QStringLiteral("파일 검사 및 복구"), this);
    m_pBtnRepair->setAutoDefault(false);
    m_pBtnRepair->setToolTip(QStringLiteral("게임 폴더의 모든 파일을 검사하고, 다른 파일만 다시 받습니다"));
    place(m_pBtnRepair, IDC_BTN_REPAIR, "btnRepair", QRect(7, 205, 125, 14));
    connect(m_pBtnRepair, &QPushButton::clicked, this, &COptionDlg::OnRepair);

    connect(m_pBtnOk, &QPushButton::clicked, this, &COptionDlg::accept);
    connect(m_pBtnCancel, &QPushButton::clicked, this, &COptionDlg::reject);
}

QWidget* COptionDlg::Control(int id) const
{
    const auto children = findChildren<QWidget*>();
    for (QWidget* pChild : children) {
        if (pChild->property("ctrlId").toInt() == id)
            return pChild;
    }
    return nullptr;
}

void COptionDlg::DoDataExchange(bool bSaveAndValidate)
{
    if (bSaveAndValidate) {
        m_nGraphic = -1;
        for (int i = 0; i < 4; ++i) {
            if (m_pRadio[i]->isChecked())
                m_nGraphic = i;
        }
        m_bEAX = CheckFromControl(m_pCheckEax);
        g_nPassive = CheckFromControl(m_pCheckPassive);
        m_nMaxRate = m_pSpinMaxRate->value();
        return;
    }
    for (int i = 0; i < 4; ++i) {
        // An exclusive button refuses to be unchecked, so none checked needs
        // the exclusivity lifted for the moment.
        m_pRadio[i]->setAutoExclusive(false);
        m_pRadio[i]->setChecked(i == m_nGraphic);
        m_pRadio[i]->setAutoExclusive(true);
    }
    CheckToControl(m_pCheckEax, m_bEAX);
    CheckToControl(m_pCheckPassive, g_nPassive);
    m_pSpinMaxRate->setValue(m_nMaxRate);
}

bool COptionDlg::OnInitDialog()
{
    DoDataExchange(false);
    {
        store::CSettingsKey key(store::CSettingsKey::Open::Existing);
        if (key.IsOpen()) {
            // A value that is missing leaves its variable as it was.
            if (const auto value = key.ReadNumber(store::GRAPHIC))
                m_nGraphic = *value;
            if (const auto value = key.ReadNumber(store::EAX))
                m_bEAX = *value;
            if (const auto value = key.ReadNumber(store::PASSIVE))
                g_nPassive = *value;
            if (const auto value = key.ReadNumber(store::MAX_RATE)) {
                m_nMaxRate = std::max<std::int32_t>(0, *value);
                m_bMaxRateStored = true;
            }
        }
    }
    DoDataExchange(false);
    m_pBtnOk->setFocus(Qt::OtherFocusReason);
    return true;
}

void COptionDlg::SetRepairAvailable(bool bAvailable)
{
    m_pBtnRepair->setEnabled(bAvailable);
}

void COptionDlg::OnOK()
{
    SaveChoices();
    QDialog::accept();
}

void COptionDlg::OnRepair()
{
    SaveChoices();
    QDialog::done(REPAIR_RESULT);
}

void COptionDlg::SaveChoices()
{
    // From here on g_nPassive holds the player's choice, written or not.
    DoDataExchange(true);
    {
        store::CSettingsKey key(store::CSettingsKey::Open::Existing);
        if (key.IsOpen()) {
            key.WriteNumber(store::GRAPHIC, m_nGraphic);
            key.WriteNumber(store::EAX, m_bEAX);
            key.WriteNumber(store::PASSIVE, g_nPassive);
            if (m_nMaxRate != 0 || m_bMaxRateStored)
                key.WriteNumber(store::MAX_RATE, m_nMaxRate);
        }
    }
    DoDataExchange(true);
}

void COptionDlg::accept()
{
    OnOK();
}

void COptionDlg::showEvent(QShowEvent* event)
{
    if (!m_bInitialized) {
        m_bInitialized = true;
        OnInitDialog();
    }
    QDialog::showEvent(event);
}
