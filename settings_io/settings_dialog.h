#pragma once

#include <QWidget>
#include <cstdint>
#include <functional>

#include "settings_model/list_models.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QPushButton;
class QScrollBar;

namespace rastel {

// The eight persisted fields as the dialog found them when it was loaded.
struct OpeningSettingsRecord {
    int16_t FormatType = 0;
    int16_t FormatDetails = 0;
    int16_t ColorType = 0;
    int16_t Grayscale = 0;
    int16_t DitheringType = 0;
    int16_t RotateType = 0;
    int16_t Reverse = 0;
    int16_t Quality = 0;
};

// frmSet, "保存設定": edits the eight persisted fields of ConvertSettings.
// A thin shell over the settings model: every pick runs the model's cascade
// and the widgets then mirror the SettingsLists model. Constructing it is the
// load step; every way of closing runs the close step and discards it
// (deleteLater), so the next opening constructs a new one.
//
// A top-level QWidget rather than a QDialog, so that neither Enter nor Esc
// has a default meaning: a button acts only when clicked or pressed with the
// focus on it.
class frmSet : public QWidget {
    Q_OBJECT
public:
    explicit frmSet(QWidget* parent = nullptr);

    // Called at the end of the close step, after the dialog has been hidden
    // and scheduled for deletion: the owner forgets it and shows the main window.
    void SetClosedHook(std::function<void()> hook) { closedHook_ = std::move(hook); }

    // Shows the dialog centred on the screen.
    void ShowCentred();

    // The close step: refills the lists so DetailCodes and ColorBits match the
    // record, hides and discards the dialog, then runs the closed hook. Runs
    // once; later calls do nothing.
    void CloseStep();

    // "設定": writes the settings file (a failure is silent), then the close step.
    void cmdOK_Click();
    // "閉じる": restores the opening values, refills, then the close step.
    void cmdCancel_Click();

    bool LoadComplete() const { return loadComplete_; }
    const OpeningSettingsRecord& OpeningSettings() const { return opening_; }
    const SettingsLists& Lists() const { return lists_; }

    QGroupBox* Frame2() const { return frame2_; }
    QGroupBox* Frame3() const { return frame3_; }
    QGroupBox* Frame4() const { return frame4_; }
    QGroupBox* Frame5() const { return frame5_; }
    QGroupBox* Frame6() const { return frame6_; }
    QGroupBox* Frame7() const { return frame7_; }
    QComboBox* ComboFormat() const { return comboFormat_; }
    QComboBox* ComboDetails() const { return comboDetails_; }
    QComboBox* ComboColor() const { return comboColor_; }
    QComboBox* ComboDither() const { return comboDither_; }
    QComboBox* ComboRotate() const { return comboRotate_; }
    QCheckBox* chkGrayscale() const { return chkGrayscale_; }
    QCheckBox* chkReverse() const { return chkReverse_; }
    QScrollBar* HScrollQty() const { return hScrollQty_; }
    QLabel* Label1() const { return label1_; }
    QLabel* Label2() const { return label2_; }
    QLabel* Label3() const { return label3_; }
    QLabel* lblQty() const { return lblQty_; }
    QPushButton* cmdOK() const { return cmdOK_; }
    QPushButton* cmdCancel() const { return cmdCancel_; }

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void BuildControls();
    void LoadStep();
    void ConnectHandlers();
    // Copies the model's entries, chosen positions, enabled flags and the
    // quality value into the widgets without running any handler.
    void MirrorLists();

    void ComboFormat_Click(int index);
    void ComboDetails_Click(int index);
    void ComboColor_Click(int index);
    void ComboDither_Click(int index);
    void ComboRotate_Click(int index);
    void chkGrayscale_Click(bool checked);
    void chkReverse_Click(bool checked);
    void HScrollQty_Change(int value);

    SettingsLists lists_;
    OpeningSettingsRecord opening_;
    bool loadComplete_ = false;
    bool closing_ = false;
    std::function<void()> closedHook_;

    QGroupBox* frame2_ = nullptr;
    QGroupBox* frame3_ = nullptr;
    QGroupBox* frame4_ = nullptr;
    QGroupBox* frame5_ = nullptr;
    QGroupBox* frame6_ = nullptr;
    QGroupBox* frame7_ = nullptr;
    QComboBox* comboFormat_ = nullptr;
    QComboBox* comboDetails_ = nullptr;
    QComboBox* comboColor_ = nullptr;
    QComboBox* comboDither_ = nullptr;
    QComboBox* comboRotate_ = nullptr;
    QCheckBox* chkGrayscale_ = nullptr;
    QCheckBox* chkReverse_ = nullptr;
    QScrollBar* hScrollQty_ = nullptr;
    QLabel* label1_ = nullptr;
    QLabel* label2_ = nullptr;
    QLabel* label3_ = nullptr;
    QLabel* lblQty_ = nullptr;
    QPushButton* cmdOK_ = nullptr;
    QPushButton* cmdCancel_ = nullptr;
};

}  // namespace rastel
