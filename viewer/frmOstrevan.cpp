#include "viewer/frmOstrevan.h"

#include <QCoreApplication>
#include <QFont>
#include <QFontMetricsF>
#include <QIcon>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextCursor>
#include <QTimer>

#include <algorithm>
#include <exception>

#include "station/Failure.h"
#include "station/LockScan.h"
#include "viewer/KeepTopmost.h"

namespace viewer {
namespace {

// The layout is given in twips; at 96 dots per inch a pixel is 15 twips, and Qt scales pixels
// for other resolutions.
constexpr int pixels(int twips) { return twips / 15; }

constexpr int kRefreshIntervalMs = 100;

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

// Where two texts differ: `current`'s characters [first, currentEnd) give way to `shown`'s
// [first, shownEnd); what comes before and after is common to both.
struct DifferingSpan {
    qsizetype first;
    qsizetype currentEnd;
    qsizetype shownEnd;
};

DifferingSpan differingSpan(QStringView current, QStringView shown) {
    const qsizetype first =
        std::mismatch(current.begin(), current.end(), shown.begin(), shown.end()).first -
        current.begin();
    // The common tail, which must not reach back into the common head of either text.
    const auto tailEnds = std::mismatch(current.rbegin(), current.rend() - first, shown.rbegin(),
                                        shown.rend() - first);
    const qsizetype tail = tailEnds.first - current.rbegin();
    return {first, current.size() - tail, shown.size() - tail};
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
        // rewritten: a selection, the caret and the scroll position outside it survive the
        // refresh every 100 ms, and only the changed lines are laid out and repainted. Typed
        // text always differs and is replaced.
        if (shown == current) return;
        const DifferingSpan span = differingSpan(current, shown);
        QTextCursor edit(box_.document());
        edit.setPosition(static_cast<int>(span.first));
        edit.setPosition(static_cast<int>(span.currentEnd), QTextCursor::KeepAnchor);
        edit.insertText(shown.sliced(span.first, span.shownEnd - span.first));
    }

  private:
    QPlainTextEdit& box_;
};

frmOstrevan::frmOstrevan(QWidget* parent)
    : QWidget(parent, kWindowFlags),
      cmdVer(new QPushButton(this)),
      txtPuestos(new QPlainTextEdit(this)),
      Timer1(new QTimer(this)),
      txtPuestosText_(std::make_unique<TextBox>(*txtPuestos)),
      station_(files_, *this) {
    setObjectName(QStringLiteral("frmOstrevan"));
    setWindowTitle(QStringLiteral("locked"));
    setWindowIcon(QIcon(QStringLiteral(":/prOstrevan.xpm")));
    setFixedSize(pixels(2055), pixels(6390));

    // Wider than the window: clipped at the right edge, it is a blank bar across the top.
    cmdVer->setObjectName(QStringLiteral("cmdVer"));
    cmdVer->setGeometry(pixels(60), pixels(30), pixels(4245), pixels(345));
    cmdVer->setAccessibleName(tr("Refresh now"));
    connect(cmdVer, &QPushButton::clicked, this, &frmOstrevan::cmdVerClick);

    txtPuestos->setObjectName(QStringLiteral("txtPuestos"));
    txtPuestos->setGeometry(pixels(30), pixels(390), pixels(2025), pixels(5955));
    txtPuestos->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // As in a native multi-line edit box, Tab moves on to the next control.
    txtPuestos->setTabChangesFocus(true);
    // Undo would bring back a listing that a refresh has since replaced.
    txtPuestos->setUndoRedoEnabled(false);
    txtPuestos->setFont(listingFont());
    txtPuestos->setTabStopDistance(kTabStopCharacters *
                                   QFontMetricsF(txtPuestos->font()).averageCharWidth());
    txtPuestos->setAccessibleName(tr("Stations"));
    txtPuestos->setPlainText(QStringLiteral("txtPuestos"));

    // The text box comes first in the tab order and has the focus when the window first shows.
    setTabOrder(txtPuestos, cmdVer);
    txtPuestos->setFocus();

    // Interval 0: the timer does not fire until the load sets its interval.
    Timer1->setObjectName(QStringLiteral("Timer1"));
    connect(Timer1, &QTimer::timeout, this, &frmOstrevan::timer1Tick);
}

frmOstrevan::~frmOstrevan() = default;

std::int32_t frmOstrevan::MLP_PuestosConectadosGrabados(std::int32_t& RT_UltimoPuestoLibre) {
    return station::LockScan(station_, *txtPuestosText_, *this)
        .MLP_PuestosConectadosGrabados(RT_UltimoPuestoLibre);
}

void frmOstrevan::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // The window's load: once, before it first appears on screen.
    if (!loaded_) {
        loaded_ = true;
        load();
    }
}

void frmOstrevan::load() {
    Timer1->start(kRefreshIntervalMs);
    station_.AbrirFicheroPuestos();
}

void frmOstrevan::timer1Tick() {
    if (!refreshAllowed()) return;
    try {
        RefrescarPuestos();
        keepTopmost(*this);
    } catch (...) {
        endOnUnhandledFailure();
    }
}

void frmOstrevan::cmdVerClick() {
    if (!refreshAllowed()) return;
    try {
        RefrescarPuestos();
    } catch (...) {
        endOnUnhandledFailure();
    }
}

void frmOstrevan::RefrescarPuestos() {
    std::int32_t ultimoPuestoLibre = 0;
    MLP_PuestosConectadosGrabados(ultimoPuestoLibre);
    setWindowTitle(QString::number(ultimoPuestoLibre));
}

void frmOstrevan::showMessage(const std::string& text, const std::system_error&) {
    showMessageBox(QString::fromStdString(text));
}

void frmOstrevan::showMessageBox(const QString& text) {
    struct Waiting {
        int& boxes;
        explicit Waiting(int& count) : boxes(++count) {}
        ~Waiting() { --boxes; }
    } waiting(openMessageBoxes_);
    // A box shown during the load, before the window is on screen, is centred on the screen
    // rather than on a window that has no place yet.
    QWidget* owner = testAttribute(Qt::WA_Mapped) ? this : nullptr;
    QMessageBox box(QMessageBox::NoIcon, QLatin1String(kApplicationTitle), text, QMessageBox::Ok,
                    owner);
    box.exec();
}

void frmOstrevan::endOnUnhandledFailure() noexcept {
    ending_ = true;
    Timer1->stop();
    try {
        QString report;
        try {
            const std::system_error failure = station::currentFailure();
            report = tr("Run-time failure %1:\n\n%2\n\nThe monitor ends here.")
                         .arg(QString::fromStdString(station::failureNumber(failure)),
                              QString::fromStdString(station::failureDescription(failure)));
        } catch (const std::exception& other) {
            report = tr("Run-time failure:\n\n%1\n\nThe monitor ends here.")
                         .arg(QString::fromLocal8Bit(other.what()));
        }
        showMessageBox(report);
    } catch (...) {
        // Nothing is left to report with; the program ends all the same.
    }
    QCoreApplication::exit(kUnhandledFailureExitStatus);
}

}  // namespace viewer
