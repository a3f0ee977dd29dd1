// The window's layout: the controls, their places in twips and the fonts that fit them.
#include "app/ProphylaxisFrm.h"

#include "app/WindowUtil.h"
#include "support/Error.h"

#include <QCheckBox>
#include <QFontInfo>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStyle>
#include <QTextEdit>

#include <algorithm>
#include <cmath>

namespace k5 {

namespace {

QString Q(const char* s) {
    return QString::fromUtf8(s);
}

// The size the window opens with (its client area), in twips: the options group and the
// button row of the initial geometry fit exactly.
constexpr int kInitialClientWidth = 13905;
constexpr int kInitialClientHeight = 9015;

// The progress line sits right of "Протокол:", above the pane, where no named control is.
constexpr int kProgressTextLeft = 1245;
constexpr int kProgressTop = 2475;
constexpr int kProgressHeight = 240;
constexpr int kProgressBarWidth = 3000;
constexpr int kPaneLeftForProgress = 105;

int Round(double v) {
    return static_cast<int>(std::lround(v));
}

} // namespace

int ProphylaxisFrm::TwipsToPixelsX(int twips) const {
    return Round(twips * logicalDpiX() / 1440.0);
}
int ProphylaxisFrm::TwipsToPixelsY(int twips) const {
    return Round(twips * logicalDpiY() / 1440.0);
}
int ProphylaxisFrm::PixelsToTwipsX(int pixels) const {
    return Round(pixels * 1440.0 / logicalDpiX());
}
int ProphylaxisFrm::PixelsToTwipsY(int pixels) const {
    return Round(pixels * 1440.0 / logicalDpiY());
}

TwipsRect ProphylaxisFrm::Twips(const QWidget* control) const {
    auto it = mTwips.find(control);
    return it == mTwips.end() ? TwipsRect{} : it->second;
}

void ProphylaxisFrm::Place(QWidget* control, const TwipsRect& rect) {
    mTwips[control] = rect;
    control->setGeometry(TwipsToPixelsX(rect.left), TwipsToPixelsY(rect.top), TwipsToPixelsX(rect.width),
                         TwipsToPixelsY(rect.height));
}

// The fixed geometry was drawn for a narrow 8-point face. Every control keeps the desktop's
// font where its fixed text fits at it; a control whose text does not fit takes the first
// of a condensed face at the same size, then smaller sizes of either, in which it does.
void ProphylaxisFrm::FitFonts() {
    const QFont desktop = font();
    QStringList families = {desktop.family()};
    for (const char* narrow : {"DejaVu Sans Condensed", "Liberation Sans Narrow", "Arial Narrow"})
        if (QFontInfo(QFont(QString::fromLatin1(narrow))).family() == QString::fromLatin1(narrow))
            families << QString::fromLatin1(narrow);
    QWidget* const controls[] = {Label3,
                                 Text2,
                                 Label4,
                                 theLimitMessages,
                                 Label5,
                                 theRemoveOrphaned,
                                 theClearPfrErrors,
                                 theRemoveOrphanedBigDocs,
                                 theCompactBigDocs,
                                 theZipAndRename,
                                 Label2,
                                 theCmdAbout,
                                 theCmdStart,
                                 theCmdProtocols,
                                 theCmdCancel,
                                 theCmdExit};
    for (QWidget* c : controls) {
        const bool field = c->inherits("QLineEdit");
        const QString text = field ? QString() : c->property("text").toString();
        // Room the style takes besides the text: the box of a check box, the margins of a
        // button, the frame of a field.
        int extra = 0;
        if (c->inherits("QCheckBox"))
            extra = c->style()->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, c) +
                    c->style()->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, nullptr, c);
        else if (c->inherits("QPushButton"))
            extra = 2 * c->style()->pixelMetric(QStyle::PM_ButtonMargin, nullptr, c);
        const int frame = field ? 2 * c->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, c) : 0;
        // The button row's check box reaches under "Выполнить" already at the initial size.
        int room = c->width();
        if (const auto* box = dynamic_cast<ElidingCheckBox*>(c); box && box->CaptionLimit() >= 0)
            room = std::min(room, box->CaptionLimit());
        auto fits = [&](const QFont& candidate) {
            const QFontMetrics m(candidate);
            return m.horizontalAdvance(text) + extra <= room && m.height() + frame <= c->height();
        };
        QFont chosen = desktop;
        bool found = false;
        for (double size = desktop.pointSizeF(); !found && size >= 7.0; size -= 0.5)
            for (const QString& family : families) {
                QFont candidate = desktop;
                candidate.setFamily(family);
                candidate.setPointSizeF(size);
                chosen = candidate;
                if ((found = fits(candidate))) break;
            }
        if (chosen != desktop) c->setFont(chosen);
    }
}

// A label sits level with its field: it takes the field's height and top, so that both texts,
// centred, share their middle (the labels' own heights were made for another face).
void ProphylaxisFrm::AlignLabels() {
    for (const auto& [label, field] : {std::pair<QLabel*, QWidget*>{Label3, Text2},
                                       {Label4, theLimitMessages},
                                       {Label5, theLimitMessages}}) {
        label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        label->setGeometry(label->x(), field->y(), label->width(), field->height());
    }
}

// The caption of "Параметры:" on the frame's top line, as the layout's coordinates assume:
// the line runs through the middle of the caption, and the rows below keep clear of both.
void ProphylaxisFrm::FrameCaptionOnItsLine() {
    const int middle = QFontMetrics(Frame1->font()).height() / 2;
    Frame1->setStyleSheet(
        QStringLiteral("QGroupBox#Frame1 { border: 1px solid palette(mid); border-radius: 2px;"
                       " margin-top: %1px; }"
                       " QGroupBox#Frame1::title { subcontrol-origin: margin;"
                       " subcontrol-position: top left; left: 6px; padding: 0 2px; }")
            .arg(middle));
}

void ProphylaxisFrm::CreateControls() {

    Label1 = new QLabel(Q("Профилактика базы данных программы Корунд-5W"), this);
    Label1->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);

    Frame1 = new QGroupBox(Q("Параметры: "), this);
    Label3 = new QLabel(Q("Путь к папке с БД:"), Frame1);
    Text2 = new QLineEdit(Frame1);
    {
        QPalette p = Text2->palette();
        p.setColor(QPalette::Base, p.color(QPalette::Button));
        Text2->setPalette(p);
    }
    Label4 = new QLabel(Q("Максимальное количество сообщений об ошибках для каждой таблицы:"), Frame1);
    theLimitMessages = new QLineEdit(Frame1);
    Label5 = new QLabel(Q("( 0 - без ограничения )"), Frame1);
    theRemoveOrphaned = new QCheckBox(Q("В таблицах удалять недоступные записи"), Frame1);
    theClearPfrErrors = new QCheckBox(Q("Очистить результаты проверок документов персучета"), Frame1);
    theRemoveOrphanedBigDocs =
        new QCheckBox(Q("В подкаталоге \\BigDocs\\ удалять недоступные файлы"), Frame1);
    theCompactBigDocs = new QCheckBox(Q("Сжимать файлы в подкаталоге \\BigDocs\\"), Frame1);
    theZipAndRename = new ElidingCheckBox(
        Q("Архивировать и переименовать Korund5.mdb независимо от результата профилактики"), this);
    Label2 = new QLabel(Q("Протокол:"), this);
    RichTextBox1 = new QTextEdit(this);
    RichTextBox1->setReadOnly(true);
    RichTextBox1->setLineWrapMode(QTextEdit::NoWrap);
    RichTextBox1->setAcceptRichText(true);
    RichTextBox1->setUndoRedoEnabled(false);
    theCmdStart = new QPushButton(Q("Выполнить"), this);
    theCmdCancel = new QPushButton(Q("Отмена"), this);
    theCmdProtocols = new QPushButton(Q("Протоколы"), this);
    theCmdProtocols->setToolTip(Q("Показать папку с файлами протоколов"));
    theCmdExit = new QPushButton(Q("Выход"), this);
    theCmdAbout = new QPushButton(Q("Об утилите"), this);
    theProgressText = new QLabel(this);
    theProgressBar = new QProgressBar(this);
    theProgressBar->setTextVisible(false);

    const std::pair<QWidget*, const char*> names[] = {
        {Label1, "Label1"},
        {Frame1, "Frame1"},
        {Label3, "Label3"},
        {Text2, "Text2"},
        {Label4, "Label4"},
        {theLimitMessages, "theLimitMessages"},
        {Label5, "Label5"},
        {theRemoveOrphaned, "theRemoveOrphaned"},
        {theClearPfrErrors, "theClearPfrErrors"},
        {theRemoveOrphanedBigDocs, "theRemoveOrphanedBigDocs"},
        {theCompactBigDocs, "theCompactBigDocs"},
        {theZipAndRename, "theZipAndRename"},
        {Label2, "Label2"},
        {RichTextBox1, "RichTextBox1"},
        {theCmdStart, "theCmdStart"},
        {theCmdCancel, "theCmdCancel"},
        {theCmdProtocols, "theCmdProtocols"},
        {theCmdExit, "theCmdExit"},
        {theCmdAbout, "theCmdAbout"},
        {theProgressText, "theProgressText"},
        {theProgressBar, "theProgressBar"},
    };
    for (const auto& [w, name] : names)
        w->setObjectName(QString::fromLatin1(name));

    Place(Label1, {0, 240, 13350, 315});
    Place(Frame1, {120, 630, 13665, 1650});
    Place(Label3, {150, 270, 1500, 210});
    Place(Text2, {1725, 270, 11340, 270});
    Place(Label4, {150, 585, 5610, 255});
    Place(theLimitMessages, {5775, 585, 795, 270});
    Place(Label5, {6630, 585, 1740, 255});
    Place(theRemoveOrphaned, {180, 900, 5535, 285});
    Place(theRemoveOrphanedBigDocs, {5775, 900, 5355, 285});
    Place(theClearPfrErrors, {180, 1245, 5535, 285});
    Place(theCompactBigDocs, {5775, 1245, 5355, 285});
    Place(Label2, {135, 2475, 975, 225});
    Place(RichTextBox1, {105, 2835, 13170, 5430});
    Place(theCmdAbout, {150, 8355, 1230, 570});
    Place(theZipAndRename, {1620, 8535, 7410, 285});
    Place(theCmdStart, {9615, 8400, 1110, 570});
    Place(theCmdProtocols, {10860, 8400, 1110, 570});
    Place(theCmdCancel, {12105, 8385, 900, 570});
    Place(theCmdExit, {13125, 8370, 930, 570});
    Place(theProgressText, {kProgressTextLeft, kProgressTop, 8000, kProgressHeight});
    Place(theProgressBar, {9000, kProgressTop, kProgressBarWidth, kProgressHeight});
    ResetProgress();
    AlignLabels();
    Label1->setFont([this] {
        QFont heading = font();
        heading.setBold(true);
        heading.setPointSizeF(font().pointSizeF() + 2);
        return heading;
    }());

    // Tab order as the controls read on the screen.
    QWidget* order[] = {Text2,
                        theLimitMessages,
                        theRemoveOrphaned,
                        theRemoveOrphanedBigDocs,
                        theClearPfrErrors,
                        theCompactBigDocs,
                        RichTextBox1,
                        theCmdAbout,
                        theZipAndRename,
                        theCmdStart,
                        theCmdProtocols,
                        theCmdCancel,
                        theCmdExit};
    for (size_t i = 1; i < std::size(order); ++i)
        setTabOrder(order[i - 1], order[i]);

    connect(theCmdStart, &QPushButton::clicked, this, [this] { theCmdStart_Click(); });
    connect(theCmdCancel, &QPushButton::clicked, this, [this] { theCmdCancel_Click(); });
    connect(theCmdProtocols, &QPushButton::clicked, this, [this] { theCmdProtocols_Click(); });
    connect(theCmdExit, &QPushButton::clicked, this, [this] { theCmdExit_Click(); });
    connect(theCmdAbout, &QPushButton::clicked, this, [this] { cmdAbout_Click(); });
    theLimitMessages->installEventFilter(this);
}

// The fonts fit the controls where the layout puts them at the initial size.
void ProphylaxisFrm::InitialLayout() {
    resize(TwipsToPixelsX(kInitialClientWidth), TwipsToPixelsY(kInitialClientHeight));
    Form_Resize();
    FitFonts();
    FrameCaptionOnItsLine();
}

// --- layout -------------------------------------------------------------------------

void ProphylaxisFrm::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    WindowEvent([this] { Form_Resize(); });
}

void ProphylaxisFrm::Form_Resize() {
    try {
        // A minimised window has no client area to lay out; nothing changes.
        if (isMinimized()) return;

        // 1. The outer size never below the minimum; the window system refuses to resize a
        // maximised or full-screen window, so the step is skipped there.
        const QSize frameExtra = frameGeometry().size() - size();
        setMinimumSize(std::max(0, TwipsToPixelsX(kMinWidthTwips) - frameExtra.width()),
                       std::max(0, TwipsToPixelsY(kMinHeightTwips) - frameExtra.height()));
        if (!isMaximized() && !isFullScreen()) {
            const int outerH = PixelsToTwipsY(frameGeometry().height());
            if (outerH < kMinHeightTwips)
                resize(width(), TwipsToPixelsY(kMinHeightTwips) - frameExtra.height());
            const int outerW = PixelsToTwipsX(frameGeometry().width());
            if (outerW < kMinWidthTwips)
                resize(TwipsToPixelsX(kMinWidthTwips) - frameExtra.width(), height());
        }

        const int cw = PixelsToTwipsX(width());
        const int ch = PixelsToTwipsY(height());
        // A step that would give a negative width or height is skipped; the rest still run.
        auto place = [this](QWidget* w, TwipsRect r) {
            if (r.width < 0 || r.height < 0) return;
            Place(w, r);
        };

        TwipsRect r = Twips(Label1); // 2
        place(Label1, {0, r.top, cw, r.height});
        r = Twips(Frame1); // 3
        place(Frame1, {r.left, r.top, cw - 2 * r.left, r.height});
        const TwipsRect frame = Twips(Frame1);
        r = Twips(Text2); // 4
        place(Text2, {r.left, r.top, frame.width - r.left - 60, r.height});
        const int cancelH = Twips(theCmdCancel).height;
        r = Twips(RichTextBox1); // 5
        place(RichTextBox1, {r.left, r.top, cw - 2 * r.left, ch - r.top - 90 - cancelH - 90});
        r = Twips(theCmdAbout); // 6
        place(theCmdAbout, {300, ch - cancelH - 90, r.width, r.height});
        const TwipsRect about = Twips(theCmdAbout);
        r = Twips(theZipAndRename); // 7
        place(theZipAndRename,
              {about.left + about.width + 200, about.top + (about.height - r.height) / 2, r.width, r.height});
        r = Twips(theCmdExit); // 8
        place(theCmdExit, {cw - r.width - 300, about.top, r.width, r.height});
        const int exitLeft = Twips(theCmdExit).left;
        r = Twips(theCmdCancel); // 9
        place(theCmdCancel, {exitLeft - r.width - 200, about.top, r.width, r.height});
        const int cancelLeft = Twips(theCmdCancel).left;
        r = Twips(theCmdProtocols); // 10
        place(theCmdProtocols, {cancelLeft - r.width - 200, about.top, r.width, r.height});
        const int protocolsLeft = Twips(theCmdProtocols).left;
        r = Twips(theCmdStart); // 11
        place(theCmdStart, {protocolsLeft - r.width - 200, about.top, r.width, r.height});
        // The check box keeps its width; in a narrow window its caption stops short of "Выполнить".
        static_cast<ElidingCheckBox*>(theZipAndRename)
            ->SetCaptionLimit(theCmdStart->x() - theZipAndRename->x() - TwipsToPixelsX(100));

        // The progress line: bar flush with the pane's right edge, step text between it and
        // "Протокол:".
        const int barLeft = cw - kPaneLeftForProgress - kProgressBarWidth;
        place(theProgressBar, {barLeft, kProgressTop, kProgressBarWidth, kProgressHeight});
        place(theProgressText,
              {kProgressTextLeft, kProgressTop, barLeft - 120 - kProgressTextLeft, kProgressHeight});
    }
    K5_TRAP(kFrm, "Form_Resize")
}

} // namespace k5
