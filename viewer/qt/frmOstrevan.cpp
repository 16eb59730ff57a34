#include "viewer/qt/frmOstrevan.h"

#include <QCoreApplication>
#include <QFont>
#include <QFontMetricsF>
#include <QIcon>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextCursor>
#include <QTimer>

#include <string_view>

#include "viewer/DifferingSpan.h"

namespace viewer {
namespace {

// The layout is given in twips; at 96 dots per inch a pixel is 15 twips, and Qt scales pixels
// for other resolutions.
constexpr int pixels(int twips) { return twips / 15; }

// Above ordinary windows; a fixed size, so no maximise button.
constexpr Qt::WindowFlags kWindowFlags =
    Qt::Window | Qt::WindowStaysOnTopHint | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
    Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint;
// A native edit box sets a tab stop every 8 average character widths of its font.
constexpr qreal kTabStopCharacters = 8;

QFont listingFont() {
    QFont font(QStringLiteral("MS Serif"));
    // Where that face is missing, fontconfig picks another serif one.
    font.setStyleHint(QFont::Serif);
    font.setPointSize(6);
    font.setWeight(QFont::Normal);
    font.setItalic(false);
    font.setUnderline(false);
    font.setStrikeOut(false);
    return font;
}

std::u16string_view characters(const QString& text) {
    return {QStringView(text).utf16(), static_cast<std::size_t>(text.size())};
}

}  // namespace

// The text box as the lock scan sees it. Line breaks read back as CR LF, as an edit box holds
// them, so that the listing comes back exactly as the scan wrote it.
class frmOstrevan::TextBox final : public station::TextHolder {
  public:
    explicit TextBox(QPlainTextEdit& box) : box_(box) {}

    std::string text() const override {
        return box_.toPlainText().replace(QLatin1Char('\n'), QLatin1String("\r\n")).toStdString();
    }

    void setText(const std::string& text) override {
        QString shown = QString::fromStdString(text);
        shown.replace(QLatin1String("\r\n"), QLatin1String("\n"));
        const QString current = box_.toPlainText();
        // An unchanged listing is left alone, and of a changed one only the span that differs is
        // rewritten. Typed text always differs and is replaced.
        if (shown == current) return;
        const DifferingSpan span = differingSpan(characters(current), characters(shown));
        QTextCursor edit(box_.document());
        edit.setPosition(static_cast<int>(span.first));
        edit.setPosition(static_cast<int>(span.currentEnd), QTextCursor::KeepAnchor);
        edit.insertText(shown.sliced(static_cast<qsizetype>(span.first),
                                     static_cast<qsizetype>(span.shownEnd - span.first)));
    }

  private:
    QPlainTextEdit& box_;
};

frmOstrevan::frmOstrevan(QWidget* parent)
    : QWidget(parent, kWindowFlags),
      cmdVer(new QPushButton(this)),
      txtPuestos_(new QPlainTextEdit(this)),
      Timer1(new QTimer(this)),
      txtPuestosText_(std::make_unique<TextBox>(*txtPuestos_)),
      topmost_(*this),
      cycle_(*this) {
    setObjectName(QStringLiteral("frmOstrevan"));
    setWindowTitle(QStringLiteral("locked"));
    setWindowIcon(QIcon(QStringLiteral(":/prOstrevan.xpm")));
    setFixedSize(pixels(2055), pixels(6390));

    // Wider than the window: clipped at the right edge, it is a blank bar across the top.
    cmdVer->setObjectName(QStringLiteral("cmdVer"));
    cmdVer->setGeometry(pixels(60), pixels(30), pixels(4245), pixels(345));
    cmdVer->setAccessibleName(tr("Refresh now"));
    connect(cmdVer, &QPushButton::clicked, this, [this] { cycle_.cmdVerClick(); });

    txtPuestos_->setObjectName(QStringLiteral("txtPuestos"));
    txtPuestos_->setGeometry(pixels(30), pixels(390), pixels(2025), pixels(5955));
    txtPuestos_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // As in a native multi-line edit box, Tab moves on to the next control.
    txtPuestos_->setTabChangesFocus(true);
    // Undo would bring back a listing that a refresh has since replaced.
    txtPuestos_->setUndoRedoEnabled(false);
    txtPuestos_->setFont(listingFont());
    txtPuestos_->setTabStopDistance(kTabStopCharacters *
                                    QFontMetricsF(txtPuestos_->font()).averageCharWidth());
    txtPuestos_->setAccessibleName(tr("Stations"));
    txtPuestos_->setPlainText(QStringLiteral("txtPuestos"));

    // The text box comes first in the tab order and has the focus when the window first shows.
    setTabOrder(txtPuestos_, cmdVer);
    txtPuestos_->setFocus();

    // Interval 0: the timer does not fire until the load sets its interval.
    Timer1->setObjectName(QStringLiteral("Timer1"));
    connect(Timer1, &QTimer::timeout, this, [this] { cycle_.timer1Tick(); });
}

frmOstrevan::~frmOstrevan() = default;

void frmOstrevan::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // The window's load: once, before it first appears on screen.
    cycle_.load();
}

void frmOstrevan::startTimer1(int intervalMs) { Timer1->start(intervalMs); }

void frmOstrevan::stopTimer1() { Timer1->stop(); }

void frmOstrevan::setCaption(const std::string& caption) {
    setWindowTitle(QString::fromStdString(caption));
}

station::TextHolder& frmOstrevan::txtPuestos() { return *txtPuestosText_; }

void frmOstrevan::showMessageBox(const std::string& text) {
    // A box shown during the load, before the window is on screen, is centred on the screen
    // rather than on a window that has no place yet.
    QWidget* owner = testAttribute(Qt::WA_Mapped) ? this : nullptr;
    QMessageBox box(QMessageBox::NoIcon, QLatin1String(kApplicationTitle),
                    QString::fromStdString(text), QMessageBox::Ok, owner);
    box.exec();
}

void frmOstrevan::showOutageBox(const std::string& text) {
    if (outageBox_ == nullptr) {
        outageBox_ = new QMessageBox(QMessageBox::NoIcon, QLatin1String(kApplicationTitle),
                                     QString(), QMessageBox::Ok, this);
        outageBox_->setWindowModality(Qt::NonModal);
        outageBox_->setAttribute(Qt::WA_DeleteOnClose);
        // The user reads it when they look: the keystrokes meant for another application, a
        // barcode scanner's Enter among them, must not land here and answer it.
        outageBox_->setAttribute(Qt::WA_ShowWithoutActivating);
    }
    outageBox_->setText(QString::fromStdString(text));
    outageBox_->show();
}

void frmOstrevan::closeOutageBox() noexcept {
    // Closed, it deletes itself.
    if (outageBox_ != nullptr) outageBox_->close();
}

void frmOstrevan::keepTopmost() noexcept { topmost_.keep(); }

void frmOstrevan::endProgram(int status) noexcept { QCoreApplication::exit(status); }

void frmOstrevan::postResults() noexcept {
    try {
        // Queued to this window's thread; Qt drops it if the window is gone by then.
        QMetaObject::invokeMethod(
            this, [this] { cycle_.resultsArrived(); }, Qt::QueuedConnection);
    } catch (...) {
        // Out of memory: the results wait for the next post.
    }
}

}  // namespace viewer
