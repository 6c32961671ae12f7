// The options dialog: its template laid out in pixels, and what it reads
// from and writes to the settings store on open, OK and cancel.
#include "settings/SettingsStore.h"
#include "support/GuiSupport.h"
#include "support/TestSupport.h"
#include "transfer/FtpSession.h"
#include "ui/OptionDlg.h"

#include <QApplication>
#include <QCheckBox>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <ostream>
#include <string>

namespace {

namespace store = orvanta::settings;
using testing_support::CTempStore;

// The values a test puts into the store before the dialog opens; a missing
// entry is a value the store does not hold.
using Values = std::map<std::string, std::int32_t>;

void MakeStore(const Values& values)
{
    store::CSettingsKey key(store::CSettingsKey::Open::Create);
    ASSERT_TRUE(key.IsOpen());
    for (const auto& [name, value] : values)
        key.WriteNumber(name.c_str(), value);
}

std::optional<std::int32_t> Stored(const char* name)
{
    return store::CSettingsKey(store::CSettingsKey::Open::Existing).ReadNumber(name);
}

QRadioButton* Radio(const COptionDlg& dlg, int nIndex)
{
    return qobject_cast<QRadioButton*>(dlg.Control(IDC_RADIO_640 + nIndex));
}

QCheckBox* Check(const COptionDlg& dlg, int nId)
{
    return qobject_cast<QCheckBox*>(dlg.Control(nId));
}

int CheckedRadio(const COptionDlg& dlg)
{
    int nChecked = -1;
    for (int i = 0; i < 4; ++i) {
        if (Radio(dlg, i)->isChecked()) {
            EXPECT_EQ(nChecked, -1) << "two resolutions checked";
            nChecked = i;
        }
    }
    return nChecked;
}

// Presses a key where the player's keyboard would send it: the focused control.
void PressKey(COptionDlg& dlg, Qt::Key key)
{
    QWidget* pTarget = dlg.focusWidget() ? dlg.focusWidget() : &dlg;
    QTest::keyClick(pTarget, key);
}

class OptionDlgTest : public ::testing::Test {
protected:
    void SetUp() override { g_nPassive = 0; }
    void TearDown() override { g_nPassive = 0; }

    CTempStore m_store;
};

// --- layout ---

struct TemplateControl {
    int nId;
    const char* objectName;
    const char16_t* text;
    QRect dlu;
};

const TemplateControl TEMPLATE_129[] = {
    {IDC_GROUP_RESOLUTION, "groupResolution", u"해상도", {7, 2, 125, 75}},
    {IDC_RADIO_640, "radio640", u"640 X 480", {31, 15, 78, 8}},
    {IDC_RADIO_800, "radio800", u"800 X 600", {31, 30, 78, 8}},
    {IDC_RADIO_1024, "radio1024", u"1024 X 768", {31, 45, 78, 8}},
    {IDC_RADIO_1280, "radio1280", u"1280 X 1024", {31, 59, 78, 8}},
    {1, "btnOk", u"확 인", {7, 169, 50, 14}},
    {2, "btnCancel", u"취 소", {82, 169, 50, 14}},
    {IDC_STATIC, "groupSound", u"사운드", {7, 79, 125, 25}},
    {IDC_CHECK_EAX, "checkEax", u"EAX 사용", {35, 89, 69, 8}},
    {IDC_STATIC, "groupNetwork", u"사설 네트워크 사용자 ", {7, 111, 125, 49}},
    {IDC_CHECK_PASSIVE, "checkPassive", u"Passive Mode 사용", {32, 146, 84, 8}},
    {IDC_STATIC, "textExplanation", u"자동업데이트가 안되는 사용자\n분들은 아래 옵션을 체크하십시요", {17, 125, 106, 18}},
    {IDC_STATIC, "textMaxRate", u"받기 속도 제한", {7, 187, 58, 12}},
    {IDC_SPIN_MAX_RATE, "spinMaxRate", u"", {66, 186, 66, 13}},
    {IDC_BTN_REPAIR, "btnRepair", u"파일 검사 및 복구", {7, 205, 125, 14}},
};

QString TextOf(const QWidget* pWidget)
{
    if (auto* pButton = qobject_cast<const QAbstractButton*>(pWidget))
        return pButton->text();
    if (auto* pGroup = qobject_cast<const QGroupBox*>(pWidget))
        return pGroup->title();
    if (auto* pLabel = qobject_cast<const QLabel*>(pWidget))
        return pLabel->text();
    return {};
}

TEST_F(OptionDlgTest, TemplateIsLaidOutInDialogUnitsOfItsFont)
{
    COptionDlg dlg;
    EXPECT_EQ(dlg.windowTitle(), QStringLiteral("옵 션"));
    EXPECT_EQ(dlg.font().pointSize(), 9);

    // A 9-point face gives base units of about 6 × 12 pixels at 96 dpi.
    const QSize base = dlg.BaseUnits();
    EXPECT_GE(base.width(), 4);
    EXPECT_LE(base.width(), 9);
    EXPECT_GE(base.height(), 10);
    EXPECT_LE(base.height(), 18);
    EXPECT_EQ(dlg.MapDialogRect(QRect(0, 0, 4, 8)), QRect(0, 0, base.width(), base.height()));
    EXPECT_EQ(dlg.MapDialogRect(QRect(2, 4, 2, 4)),
              QRect(QPoint((base.width() + 1) / 2, (base.height() + 1) / 2),
                    QPoint(base.width() - 1, base.height() - 1)));

    EXPECT_EQ(dlg.size(), dlg.MapDialogRect(QRect(0, 0, 139, 227)).size());
    EXPECT_EQ(dlg.minimumSize(), dlg.maximumSize()) << "the dialog cannot be resized";

    for (const TemplateControl& control : TEMPLATE_129) {
        SCOPED_TRACE(control.objectName);
        auto* pWidget = dlg.findChild<QWidget*>(QLatin1String(control.objectName));
        ASSERT_NE(pWidget, nullptr);
        EXPECT_EQ(pWidget->property("ctrlId").toInt(), control.nId);
        const QRect want = dlg.MapDialogRect(control.dlu);
        if (control.nId == IDC_CHECK_EAX) {
            // Moved down only, to clear its frame's title; still inside the frame.
            EXPECT_EQ(pWidget->geometry().size(), want.size());
            EXPECT_EQ(pWidget->x(), want.x());
            EXPECT_GE(pWidget->y(), want.y());
            EXPECT_TRUE(dlg.findChild<QWidget*>(QStringLiteral("groupSound"))->geometry().contains(pWidget->geometry()));
        } else {
            EXPECT_EQ(pWidget->geometry(), want);
        }
        EXPECT_EQ(TextOf(pWidget), QString::fromUtf16(control.text));
        EXPECT_TRUE(dlg.rect().contains(pWidget->geometry()));
    }
    for (const int nId : std::initializer_list<int>{IDC_RADIO_640, IDC_RADIO_800, IDC_RADIO_1024, IDC_RADIO_1280, IDC_CHECK_EAX, IDC_CHECK_PASSIVE,
                    IDC_GROUP_RESOLUTION, 1, 2})
        EXPECT_NE(dlg.Control(nId), nullptr) << nId;

    // The resolution buttons sit inside their frame, the passive box in its own.
    const QRect frame = dlg.findChild<QWidget*>(QStringLiteral("groupResolution"))->geometry();
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE(frame.contains(Radio(dlg, i)->geometry())) << i;
    EXPECT_TRUE(dlg.findChild<QWidget*>(QStringLiteral("groupNetwork"))
                    ->geometry()
                    .contains(Check(dlg, IDC_CHECK_PASSIVE)->geometry()));
}

TEST_F(OptionDlgTest, OpensWithFocusOnOkAndTabSkipsTheResolutions)
{
    MakeStore({{"Graphic", 1}});
    COptionDlg dlg;
    dlg.show();
    auto* pOk = qobject_cast<QPushButton*>(dlg.Control(1));
    auto* pCancel = qobject_cast<QPushButton*>(dlg.Control(2));
    ASSERT_NE(pOk, nullptr);
    ASSERT_NE(pCancel, nullptr);
    EXPECT_TRUE(pOk->isDefault());
    EXPECT_FALSE(pCancel->isDefault());
    EXPECT_EQ(dlg.focusWidget(), pOk);

    // The keyboard walks OK, cancel, EAX, passive, the rate, repair and back to OK.
    std::vector<QWidget*> order;
    QWidget* pAt = pOk;
    do {
        order.push_back(pAt);
        do {
            pAt = pAt->nextInFocusChain();
        } while (pAt != pOk && (!(pAt->focusPolicy() & Qt::TabFocus) || pAt->parentWidget() != &dlg));
    } while (pAt != pOk && order.size() < 20);
    const std::vector<QWidget*> expected = {pOk, pCancel, dlg.Control(IDC_CHECK_EAX), dlg.Control(IDC_CHECK_PASSIVE),
                                            dlg.Control(IDC_SPIN_MAX_RATE), dlg.Control(IDC_BTN_REPAIR)};
    EXPECT_EQ(order, expected);
    dlg.reject();
}

// --- opening ---

struct OpenCase {
    const char* name;
    Values stored;
    int nPassiveBefore;
    int nCheckedRadio;   // -1: none
    Qt::CheckState eax;
    Qt::CheckState passive;
    int nPassiveAfter;   // g_nPassive once the dialog is open
};

void PrintTo(const OpenCase& c, std::ostream* os)
{
    *os << c.name;
}

class OptionDlgOpen : public OptionDlgTest, public ::testing::WithParamInterface<OpenCase> {};

TEST_P(OptionDlgOpen, ShowsTheStoredValues)
{
    const OpenCase& c = GetParam();
    MakeStore(c.stored);
    g_nPassive = c.nPassiveBefore;
    COptionDlg dlg;
    EXPECT_EQ(g_nPassive, c.nPassiveBefore) << "nothing is read before the dialog opens";
    dlg.show();
    EXPECT_EQ(CheckedRadio(dlg), c.nCheckedRadio);
    EXPECT_EQ(Check(dlg, IDC_CHECK_EAX)->checkState(), c.eax);
    EXPECT_EQ(Check(dlg, IDC_CHECK_PASSIVE)->checkState(), c.passive);
    EXPECT_EQ(g_nPassive, c.nPassiveAfter);
    dlg.reject();
}

INSTANTIATE_TEST_SUITE_P(
    Store, OptionDlgOpen,
    ::testing::Values(
        OpenCase{"Graphic0", {{"Graphic", 0}, {"EAX", 1}, {"PASSIVE", 0}}, 0, 0, Qt::Checked, Qt::Unchecked, 0},
        OpenCase{"Graphic2", {{"Graphic", 2}, {"EAX", 0}, {"PASSIVE", 1}}, 0, 2, Qt::Unchecked, Qt::Checked, 1},
        OpenCase{"Graphic3", {{"Graphic", 3}}, 0, 3, Qt::Unchecked, Qt::Unchecked, 0},
        OpenCase{"GraphicOutOfRange", {{"Graphic", 7}}, 0, -1, Qt::Unchecked, Qt::Unchecked, 0},
        OpenCase{"GraphicNone", {{"Graphic", -1}}, 0, -1, Qt::Unchecked, Qt::Unchecked, 0},
        OpenCase{"EaxOutOfRange", {{"EAX", 5}}, 0, -1, Qt::Unchecked, Qt::Unchecked, 0},
        OpenCase{"EaxThirdState", {{"EAX", 2}}, 0, -1, Qt::PartiallyChecked, Qt::Unchecked, 0},
        // A store without PASSIVE leaves the switch as the process had it.
        OpenCase{"PassiveMissing", {{"Graphic", 1}}, 1, 1, Qt::Unchecked, Qt::Checked, 1},
        OpenCase{"PassiveStoredOff", {{"PASSIVE", 0}}, 1, -1, Qt::Unchecked, Qt::Unchecked, 0},
        // An odd switch value is shown unchecked; the variable keeps 0.
        OpenCase{"PassiveOutOfRange", {{"PASSIVE", 9}}, 0, -1, Qt::Unchecked, Qt::Unchecked, 0}),
    [](const ::testing::TestParamInfo<OpenCase>& param) { return std::string(param.param.name); });

TEST_F(OptionDlgTest, WithoutAStoreOpensWithTheValuesInMemoryAndCreatesNothing)
{
    g_nPassive = 1;
    COptionDlg dlg;
    dlg.show();
    EXPECT_EQ(CheckedRadio(dlg), -1);
    EXPECT_EQ(Check(dlg, IDC_CHECK_EAX)->checkState(), Qt::Unchecked);
    EXPECT_EQ(Check(dlg, IDC_CHECK_PASSIVE)->checkState(), Qt::Checked);
    EXPECT_FALSE(QFile::exists(m_store.FilePath()));

    // OK still sets the switch for this run's next connection; the store stays absent.
    Check(dlg, IDC_CHECK_PASSIVE)->click();
    Check(dlg, IDC_CHECK_PASSIVE)->click();
    Radio(dlg, 2)->click();
    PressKey(dlg, Qt::Key_Return);
    EXPECT_EQ(dlg.result(), QDialog::Accepted);
    EXPECT_EQ(g_nPassive, 1);
    EXPECT_EQ(dlg.m_nGraphic, 2);
    EXPECT_FALSE(QFile::exists(m_store.FilePath()));
}

// --- confirming and cancelling ---

TEST_F(OptionDlgTest, OkWritesThePlayersChoices)
{
    MakeStore({{"Graphic", 0}, {"EAX", 0}, {"PASSIVE", 0}, {"PORT", 7776}});
    COptionDlg dlg;
    dlg.show();
    Radio(dlg, 3)->click();
    Check(dlg, IDC_CHECK_EAX)->click();
    Check(dlg, IDC_CHECK_PASSIVE)->click();
    EXPECT_EQ(CheckedRadio(dlg), 3);
    PressKey(dlg, Qt::Key_Return);

    EXPECT_FALSE(dlg.isVisible());
    EXPECT_EQ(dlg.result(), QDialog::Accepted);
    EXPECT_EQ(Stored("Graphic"), 3);
    EXPECT_EQ(Stored("EAX"), 1);
    EXPECT_EQ(Stored("PASSIVE"), 1);
    EXPECT_EQ(Stored("PORT"), 7776) << "other values stay as they were";
    EXPECT_EQ(g_nPassive, 1);
}

TEST_F(OptionDlgTest, OkKeepsTheDataExchangeRules)
{
    // No resolution chosen writes -1; an EAX of 5 comes back as 0.
    MakeStore({{"Graphic", 7}, {"EAX", 5}, {"PASSIVE", 1}});
    COptionDlg dlg;
    dlg.show();
    EXPECT_EQ(CheckedRadio(dlg), -1);
    dlg.Control(1)->setFocus();
    qobject_cast<QPushButton*>(dlg.Control(1))->click();
    EXPECT_EQ(dlg.result(), QDialog::Accepted);
    EXPECT_EQ(Stored("Graphic"), -1);
    EXPECT_EQ(Stored("EAX"), 0);
    EXPECT_EQ(Stored("PASSIVE"), 1);
    EXPECT_EQ(g_nPassive, 1);
}

TEST_F(OptionDlgTest, OkWritesAllThreeEvenWhenTheStoreLackedThem)
{
    MakeStore({{"PORT", 7776}});
    COptionDlg dlg;
    dlg.show();
    PressKey(dlg, Qt::Key_Return);
    EXPECT_EQ(Stored("Graphic"), -1);
    EXPECT_EQ(Stored("EAX"), 0);
    EXPECT_EQ(Stored("PASSIVE"), 0);
}

TEST_F(OptionDlgTest, CancelWritesNothingButTheSwitchWasAlreadyLoaded)
{
    for (const Qt::Key key : {Qt::Key_Escape, Qt::Key_unknown}) {
        SCOPED_TRACE(key == Qt::Key_Escape ? "Esc" : "cancel button");
        MakeStore({{"Graphic", 1}, {"EAX", 1}, {"PASSIVE", 1}});
        const QByteArray before = m_store.Contents();
        g_nPassive = 0;
        COptionDlg dlg;
        dlg.show();
        EXPECT_EQ(g_nPassive, 1);
        Radio(dlg, 0)->click();
        Check(dlg, IDC_CHECK_EAX)->click();
        Check(dlg, IDC_CHECK_PASSIVE)->click();
        if (key == Qt::Key_Escape)
            PressKey(dlg, Qt::Key_Escape);
        else
            qobject_cast<QPushButton*>(dlg.Control(2))->click();
        EXPECT_FALSE(dlg.isVisible());
        EXPECT_EQ(dlg.result(), QDialog::Rejected);
        EXPECT_EQ(m_store.Contents(), before);
        EXPECT_EQ(g_nPassive, 1) << "the unchecked box is not taken over";
    }
}

// The repair button confirms as OK does and says so in its own result; it
// is offered only while no update runs.
TEST_F(OptionDlgTest, RepairConfirmsTheChoicesAndEndsWithItsOwnResult)
{
    MakeStore({{"PASSIVE", 0}});
    COptionDlg dlg;
    dlg.show();
    auto* pRepair = qobject_cast<QPushButton*>(dlg.Control(IDC_BTN_REPAIR));
    ASSERT_NE(pRepair, nullptr);
    dlg.SetRepairAvailable(false);
    pRepair->click();
    EXPECT_TRUE(dlg.isVisible());
    dlg.SetRepairAvailable(true);
    Check(dlg, IDC_CHECK_PASSIVE)->click();
    pRepair->click();
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_EQ(dlg.result(), COptionDlg::REPAIR_RESULT);
    EXPECT_EQ(Stored("PASSIVE"), 1);
}

TEST_F(OptionDlgTest, RunsModallyAndAnswersItsOwnOkButton)
{
    MakeStore({{"Graphic", 2}, {"EAX", 1}, {"PASSIVE", 0}});
    testing_support::DialogAnswer answer;
    testing_support::AnswerNextDialog(&answer, QStringLiteral("확 인"));
    COptionDlg dlg;
    EXPECT_EQ(dlg.exec(), QDialog::Accepted);
    EXPECT_TRUE(answer.bSeen);
    EXPECT_EQ(answer.title, QStringLiteral("옵 션"));
    EXPECT_EQ(Stored("Graphic"), 2);
    EXPECT_EQ(Stored("EAX"), 1);
    EXPECT_EQ(Stored("PASSIVE"), 0);
}

TEST_F(OptionDlgTest, AClickTurnsTheThirdStateIntoChecked)
{
    MakeStore({{"EAX", 2}});
    COptionDlg dlg;
    dlg.show();
    QCheckBox* pEax = Check(dlg, IDC_CHECK_EAX);
    ASSERT_EQ(pEax->checkState(), Qt::PartiallyChecked);
    pEax->click();
    EXPECT_EQ(pEax->checkState(), Qt::Checked);
    pEax->click();
    EXPECT_EQ(pEax->checkState(), Qt::Unchecked);
    pEax->click();
    EXPECT_EQ(pEax->checkState(), Qt::Checked);
    dlg.reject();
}

} // namespace
