#include "settings_io/settings_dialog.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFont>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QSignalBlocker>

#include "settings_io/settings_file.h"
#include "settings_model/convert_settings.h"
#include "settings_model/setting_rules.h"

namespace rastel {

namespace {

QGroupBox* makeFrame(QWidget* parent, const char* name, const char* caption, QRect geometry) {
    auto* frame = new QGroupBox(QString::fromUtf8(caption), parent);
    frame->setObjectName(name);
    frame->setGeometry(geometry);
    return frame;
}

// A drop-down list: pick only, never type; entries keep their insertion order.
QComboBox* makeList(QWidget* parent, const char* name, QRect geometry, const QFont& font) {
    auto* combo = new QComboBox(parent);
    combo->setObjectName(name);
    combo->setEditable(false);
    combo->setInsertPolicy(QComboBox::NoInsert);
    combo->setFont(font);
    combo->setGeometry(geometry);
    return combo;
}

QLabel* makeLabel(QWidget* parent, const char* name, const char* caption, QRect geometry) {
    auto* label = new QLabel(QString::fromUtf8(caption), parent);
    label->setObjectName(name);
    label->setGeometry(geometry);
    return label;
}

QCheckBox* makeCheck(QWidget* parent, const char* name, const char* caption, QRect geometry) {
    auto* check = new QCheckBox(QString::fromUtf8(caption), parent);
    check->setObjectName(name);
    check->setGeometry(geometry);
    return check;
}

// Neither button is a default button: Enter and Esc elsewhere do not press it.
QPushButton* makeButton(QWidget* parent, const char* name, const char* caption, QRect geometry) {
    auto* button = new QPushButton(QString::fromUtf8(caption), parent);
    button->setObjectName(name);
    button->setAutoDefault(false);
    button->setDefault(false);
    button->setGeometry(geometry);
    return button;
}

void mirrorList(QComboBox* combo, const ListModel& list) {
    const QSignalBlocker block(combo);
    combo->clear();
    for (const auto& entry : list.Entries) combo->addItem(QString::fromStdString(entry));
    combo->setCurrentIndex(list.Selected);
    combo->setEnabled(list.Enabled);
}

void chooseEntry(ListModel& list, QComboBox* combo, int index) {
    SelectEntry(list, index);
    const QSignalBlocker block(combo);
    combo->setCurrentIndex(list.Selected);
}

}  // namespace

frmSet::frmSet(QWidget* parent) : QWidget(parent) {
    setObjectName("frmSet");
    setWindowTitle(QStringLiteral("保存設定"));
    // Fixed size, close box only: no minimise or maximise.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(446, 306);
    BuildControls();
    LoadStep();
    ConnectHandlers();
}

void frmSet::BuildControls() {
    // The dialog's own font: the proportional Japanese Gothic at 9 points, so
    // the captions fit their boxes.
    QFont dialogFont(QStringLiteral("IPAPGothic"));
    dialogFont.setStyleHint(QFont::SansSerif);
    dialogFont.setPointSize(9);
    setFont(dialogFont);

    QFont listFont(QStringLiteral("IPAGothic"));
    listFont.setStyleHint(QFont::TypeWriter);
    listFont.setFixedPitch(true);
    listFont.setPointSize(9);

    frame2_ = makeFrame(this, "Frame2", "フォーマット種別", {4, 4, 137, 77});
    comboFormat_ = makeList(frame2_, "ComboFormat", {20, 32, 89, 20}, listFont);

    frame3_ = makeFrame(this, "Frame3", "詳細フォーマット", {148, 4, 293, 77});
    comboDetails_ = makeList(frame3_, "ComboDetails", {16, 32, 253, 20}, listFont);

    frame5_ = makeFrame(this, "Frame5", "カラー階調(bit)", {4, 88, 137, 77});
    comboColor_ = makeList(frame5_, "ComboColor", {20, 28, 89, 20}, listFont);
    chkGrayscale_ = makeCheck(frame5_, "chkGrayscale", "グレースケール化", {20, 56, 113, 13});

    frame6_ = makeFrame(this, "Frame6", "ディザパターン", {148, 88, 173, 77});
    comboDither_ = makeList(frame6_, "ComboDither", {16, 28, 141, 20}, listFont);

    frame7_ = makeFrame(this, "Frame7", "画像回転", {328, 88, 113, 77});
    comboRotate_ = makeList(frame7_, "ComboRotate", {12, 28, 77, 20}, listFont);
    chkReverse_ = makeCheck(frame7_, "chkReverse", "鏡反転", {12, 56, 57, 13});

    frame4_ = makeFrame(this, "Frame4", "圧縮率", {4, 172, 437, 89});
    label1_ = makeLabel(frame4_, "Label1", "範囲(2-255)", {20, 20, 69, 13});
    hScrollQty_ = new QScrollBar(Qt::Horizontal, frame4_);
    hScrollQty_->setObjectName("HScrollQty");
    hScrollQty_->setRange(2, 255);
    hScrollQty_->setSingleStep(1);
    hScrollQty_->setPageStep(1);
    hScrollQty_->setTracking(true);
    hScrollQty_->setGeometry(20, 36, 393, 17);
    label2_ = makeLabel(frame4_, "Label2", "低圧縮(高画質)", {20, 56, 81, 13});
    lblQty_ = makeLabel(frame4_, "lblQty", "", {204, 56, 29, 13});
    lblQty_->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
    label3_ = makeLabel(frame4_, "Label3", "高圧縮(低画質)", {332, 56, 81, 13});

    cmdOK_ = makeButton(this, "cmdOK", "設定", {160, 272, 49, 25});
    cmdCancel_ = makeButton(this, "cmdCancel", "閉じる", {236, 272, 49, 25});
}

// The stored values are shown as they are: no default rule runs, and the
// handlers are not connected yet (and would do nothing while LoadComplete is
// false).
void frmSet::LoadStep() {
    const auto& s = ConvertSettings;
    opening_ = {s.FormatType,    s.FormatDetails, s.ColorType, s.Grayscale,
                s.DitheringType, s.RotateType,    s.Reverse,   s.Quality};
    loadComplete_ = false;

    LoadLists(lists_);
    chkGrayscale_->setChecked(s.Grayscale != 0);
    chkReverse_->setChecked(s.Reverse != 0);
    MirrorLists();

    loadComplete_ = true;
}

void frmSet::ConnectHandlers() {
    connect(comboFormat_, &QComboBox::currentIndexChanged, this, &frmSet::ComboFormat_Click);
    connect(comboDetails_, &QComboBox::currentIndexChanged, this, &frmSet::ComboDetails_Click);
    connect(comboColor_, &QComboBox::currentIndexChanged, this, &frmSet::ComboColor_Click);
    connect(comboDither_, &QComboBox::currentIndexChanged, this, &frmSet::ComboDither_Click);
    connect(comboRotate_, &QComboBox::currentIndexChanged, this, &frmSet::ComboRotate_Click);
    connect(chkGrayscale_, &QCheckBox::toggled, this, &frmSet::chkGrayscale_Click);
    connect(chkReverse_, &QCheckBox::toggled, this, &frmSet::chkReverse_Click);
    // valueChanged comes with every completed change and, with tracking on,
    // with every move of a dragged thumb.
    connect(hScrollQty_, &QScrollBar::valueChanged, this, &frmSet::HScrollQty_Change);
    connect(cmdOK_, &QPushButton::clicked, this, &frmSet::cmdOK_Click);
    connect(cmdCancel_, &QPushButton::clicked, this, &frmSet::cmdCancel_Click);
}

void frmSet::MirrorLists() {
    mirrorList(comboFormat_, lists_.ComboFormat);
    mirrorList(comboDetails_, lists_.ComboDetails);
    mirrorList(comboColor_, lists_.ComboColor);
    mirrorList(comboDither_, lists_.ComboDither);
    mirrorList(comboRotate_, lists_.ComboRotate);
    frame6_->setEnabled(lists_.Frame6Enabled);
    const bool quality = lists_.QualityControlsEnabled;
    for (QWidget* w : std::initializer_list<QWidget*>{label1_, label2_, label3_, frame4_, lblQty_, hScrollQty_})
        w->setEnabled(quality);
    {
        const QSignalBlocker block(hScrollQty_);
        hScrollQty_->setValue(lists_.HScrollQtyValue);
    }
    lblQty_->setText(QString::fromStdString(lists_.lblQtyCaption));
}

void frmSet::ShowCentred() {
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
    show();
    raise();
    activateWindow();
}

void frmSet::ComboFormat_Click(int index) {
    if (!loadComplete_) return;
    ChooseFormatFamily(lists_, index);
    MirrorLists();
}

void frmSet::ComboDetails_Click(int index) {
    if (!loadComplete_) return;
    ChooseSubFormat(lists_, index);
    MirrorLists();
}

void frmSet::ComboColor_Click(int index) {
    if (!loadComplete_) return;
    ChooseColorDepth(lists_, index);
    MirrorLists();
}

void frmSet::ComboDither_Click(int index) {
    if (!loadComplete_ || index < 0) return;
    ConvertSettings.DitheringType = static_cast<int16_t>(index);
    chooseEntry(lists_.ComboDither, comboDither_, index);
}

void frmSet::ComboRotate_Click(int index) {
    if (!loadComplete_ || index < 0) return;
    ConvertSettings.RotateType = static_cast<int16_t>(index);
    chooseEntry(lists_.ComboRotate, comboRotate_, index);
}

void frmSet::chkGrayscale_Click(bool checked) {
    if (!loadComplete_) return;
    ConvertSettings.Grayscale = checked ? 1 : 0;
}

void frmSet::chkReverse_Click(bool checked) {
    if (!loadComplete_) return;
    ConvertSettings.Reverse = checked ? 1 : 0;
}

void frmSet::HScrollQty_Change(int value) {
    if (!loadComplete_) return;
    ConvertSettings.Quality = static_cast<int16_t>(value);
    lists_.HScrollQtyValue = value;
    lists_.lblQtyCaption = std::to_string(value);
    lblQty_->setText(QString::fromStdString(lists_.lblQtyCaption));
}

void frmSet::cmdOK_Click() {
    if (closing_) return;
    WriteSettingsFile();  // a failed write is not reported; the values stay in effect
    CloseStep();
}

void frmSet::cmdCancel_Click() {
    if (closing_) return;
    auto& s = ConvertSettings;
    s.FormatType = opening_.FormatType;
    s.FormatDetails = opening_.FormatDetails;
    s.ColorType = opening_.ColorType;
    s.Grayscale = opening_.Grayscale;
    s.DitheringType = opening_.DitheringType;
    s.RotateType = opening_.RotateType;
    s.Reverse = opening_.Reverse;
    s.Quality = opening_.Quality;
    // Rebuilds DetailCodes and ColorBits for the restored values.
    LoadLists(lists_);
    MirrorLists();
    CloseStep();
}

void frmSet::closeEvent(QCloseEvent* event) {
    // The close box never cancels: edits stay in effect but are not written.
    event->accept();
    CloseStep();
}

void frmSet::CloseStep() {
    if (closing_) return;
    closing_ = true;
    loadComplete_ = false;
    LoadLists(lists_);
    hide();
    deleteLater();
    if (closedHook_) closedHook_();
}

}  // namespace rastel
