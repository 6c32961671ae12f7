#pragma once

#include <QDialog>
#include <QRect>
#include <QSize>

#include <cstdint>

class QCheckBox;
class QPushButton;
class QRadioButton;
class QSpinBox;
class QShowEvent;

// Identifiers of the options dialog's controls, as its dialog template
// (129) numbers them; OK and cancel are 1 and 2. Every control carries its
// number in the "ctrlId" property; the frames and the text that have none
// carry IDC_STATIC.
enum : int {
    IDD_OPTION = 129,
    IDC_RADIO_640 = 1003,
    IDC_RADIO_800 = 1004,
    IDC_RADIO_1024 = 1005,
    IDC_RADIO_1280 = 1006,
    IDC_CHECK_EAX = 1009,
    IDC_CHECK_PASSIVE = 1010,
    IDC_GROUP_RESOLUTION = 1017,
    IDC_BTN_REPAIR = 1018,
    IDC_SPIN_MAX_RATE = 1019,
    IDC_STATIC = -1,
};

// The passive-mode switch as the options dialog last saw or set it; the
// window hands it to the run (CUpdateSession::SetPassive) when the dialog
// is confirmed.
extern int g_nPassive;

// The options dialog: the game's resolution and EAX sound, the passive FTP
// switch g_nPassive, and the repair of the game folder (a button below the
// template's own controls, which ends the dialog as OK does but with the
// result REPAIR_RESULT). It reads the three values from the settings store
// when it opens and writes them back, in the order Graphic, EAX, PASSIVE,
// when the player confirms; cancelling writes nothing. It only ever opens an
// existing store. Runs modally on the window's thread while the update goes
// on behind it.
class COptionDlg final : public QDialog {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(COptionDlg)

public:
    // The dialog's result when the player asked for a repair.
    static constexpr int REPAIR_RESULT = 3;

    explicit COptionDlg(QWidget* pParent = nullptr);
    ~COptionDlg() override;

    // Whether the repair can start now (not while an update runs).
    void SetRepairAvailable(bool bAvailable);

    // Runs once, when the dialog is first shown: loads the store into the
    // members and g_nPassive (at once, whatever the player does next) and
    // shows them. Returns true: the focus goes to the first tab stop, OK.
    bool OnInitDialog();
    // Takes the controls into the members and g_nPassive, writes them to the
    // store when it opens, and ends the dialog with the OK result.
    void OnOK();
    // As OnOK, then ends the dialog with REPAIR_RESULT.
    void OnRepair();

    // Between the controls and m_nGraphic, m_bEAX and g_nPassive, with the
    // rules of the data exchange the game's tools always used: a resolution
    // outside 0..3 checks no button and reads back as -1; a check value
    // outside 0..2 is first reset to 0.
    void DoDataExchange(bool bSaveAndValidate);

    QWidget* Control(int id) const;  // by control identifier, or null
    // Dialog base units of the dialog's font, and a template rectangle in
    // dialog units converted to pixels with them.
    QSize BaseUnits() const { return m_baseUnits; }
    QRect MapDialogRect(const QRect& dlu) const;

    std::int32_t m_nGraphic = -1;  // index of the checked resolution, -1 for none
    std::int32_t m_bEAX = 0;
    // The player's limit on the updater's rate, KiB per second, 0 for none
    // (MaxRate). Written only when set or already stored: a store without
    // it stays as the game's tools left it.
    std::int32_t m_nMaxRate = 0;
    bool m_bMaxRateStored = false;

public Q_SLOTS:
    void accept() override;  // the OK button and the Enter key

protected:
    void showEvent(QShowEvent* event) override;

private:
    void CreateControls();
    void SaveChoices();

    QSize m_baseUnits;
    QRadioButton* m_pRadio[4] = {};
    QCheckBox* m_pCheckEax = nullptr;
    QCheckBox* m_pCheckPassive = nullptr;
    QPushButton* m_pBtnOk = nullptr;
    QPushButton* m_pBtnCancel = nullptr;
    QPushButton* m_pBtnRepair = nullptr;
    QSpinBox* m_pSpinMaxRate = nullptr;
    bool m_bInitialized = false;
};
