#include "app/AboutFrm.h"

#include "app/WindowUtil.h"
#include "protocol/RichPane.h"
#include "support/Common.h"
#include "support/Error.h"

#include <QPushButton>
#include <QTextBrowser>
#include <QTextCursor>
#include <QVBoxLayout>

namespace k5 {

namespace {

constexpr const char* kAboutFrm = "AboutFrm";

struct AboutLine {
    const char* text;
    bool lineEnd;
    std::optional<uint32_t> colour;
    bool bold;
};

// "Внимание!" has no line end: the next text continues its line.
const AboutLine kAboutText[] = {
    {"Назначение утилиты:", true, std::nullopt, true}, // 1
    {"- Диагностика БД, т.е. попытка обнаружения некоторых повреждений БД, которые ещё не проявились", true,
     std::nullopt, false},                                  // 2
    {"  ошибками в программе.", true, std::nullopt, false}, // 3
    {"- Сжатие БД, т.е. очистка файла от накопившегося \"мусора\" (данных, которые были удалены) и т.п..",
     true, std::nullopt, false}, // 4
    {"  При этом объём БД может уменьшиться, что в некоторой степени увеличивает производительность", true,
     std::nullopt, false},                                                                  // 5
    {"  программы и снижает вероятность повреждения файла БД.", true, std::nullopt, false}, // 6
    {"- При некоторых не сложных повреждениях БД, утилита помогает в \"ремонте\" БД.", true, std::nullopt,
     false},                                    // 7
    {"", true, std::nullopt, false},            // 8
    {"Внимание!", false, kColourMagenta, true}, // 9
    {" При одновременной работе нескольких пользователей в программе Корунд-5W в локальной сети,", true,
     std::nullopt, false}, // 10
    {"файл БД может быть повреждён. Если такое случилось, и данная утилита выдаёт соответствующие сообщения,",
     true, std::nullopt, false}, // 11
    {"то необходимо обратиться к разработчику Корунд-5W за помощью в \"ремонте\" БД.", true, std::nullopt,
     false},                                             // 12
    {"", true, std::nullopt, false},                     // 13
    {"Как работает утилита:", true, std::nullopt, true}, // 14
    {"- В папке БД программы Корунд-5W утилита создаёт новый файл БД и переписывает в него все данные", true,
     std::nullopt, false}, // 15
    {"  из старого файла БД, после чего производится сжатие. При этом все действия протоколируются.", true,
     std::nullopt, false}, // 16
    {"- Если процесс завершается без каких-либо ошибок, то в подпапке \\Профилактика_БД\\ папки БД делается",
     true, std::nullopt, false}, // 17
    {"  резервная копия старого файла (с постфиксом в его имени \"_резервная_копия_...\"), и старый файл",
     true, std::nullopt, false},                                  // 18
    {"  заменяется вновь созданным.", true, std::nullopt, false}, // 19
    {"- Если процесс завершается с ошибками, то старый файл остаётся в первоначальном состоянии, и", true,
     std::nullopt, false}, // 20
    {"  в папке БД остаётся вновь созданный файл (с постфиксом в его имени \"_Prophylaxis\"), в который",
     true, std::nullopt, false},                                                         // 21
    {"  переписаны все данные, которые удалось переписать.", true, std::nullopt, false}, // 22
    {"", true, std::nullopt, false},                                                     // 23
    {"Если, после визуального анализа ошибок и соответствующего анализа исходной БД, выясняется, что", true,
     std::nullopt, false}, // 24
    {"новый файл содержит все полезные данные из исходного файла (т.е. нет потери полезных данных),", true,
     std::nullopt, false},                                                                              // 25
    {"то новый файл можно использовать в качестве \"отремонтированного\".", true, std::nullopt, false}, // 26
    {"Обязательно предварительно сделав резервную копию исходного файла БД.", true, std::nullopt,
     false},                                                                    // 27
    {"", true, std::nullopt, false},                                            // 28
    {"Условия работы утилиты:", true, std::nullopt, true},                      // 29
    {"1. Требуется монопольный доступ к БД, т.е.:", true, std::nullopt, false}, // 30
    {"    - все пользователи Корунд-5W должны выйти из программы (завершить работу в программе),", true,
     std::nullopt, false}, // 31
    {"    - программа Корунд-5W не должна находиться в состоянии обновления (в том числе обновления базы "
     "данных).",
     true, std::nullopt, false}, // 32
    {"    - во время профилактики БД пользователи не могут работать с Корунд-5W даже на просмотр документов.",
     true, std::nullopt, false}, // 33
    {"2. На диске, на котором расположена БД, должно быть достаточное количество свободного места.", true,
     std::nullopt, false}, // 34
    {"    Т.к. утилита переписывает данные БД несколько раз, то ориентировочно требуется в 3 раза больше",
     true, std::nullopt, false},                                                     // 35
    {"    свободного места, чем занимает сам файл БД.", false, std::nullopt, false}, // 36
};

} // namespace

std::string AboutCaption() {
    return " Об утилите: Профилактика базы данных Корунд-5W. Версия " + GetVersion() + ".";
}

AboutFrm::AboutFrm(UserInteraction& ui, QWidget* parent) : QDialog(parent), mUi(ui) {
    setObjectName(QStringLiteral("AboutFrm"));
    setModal(true);
    theRTBox = new QTextBrowser(this);
    theRTBox->setObjectName(QStringLiteral("theRTBox"));
    theRTBox->setLineWrapMode(QTextEdit::NoWrap);
    theCmdClose = new QPushButton(QStringLiteral("Закрыть"), this);
    theCmdClose->setObjectName(QStringLiteral("theCmdClose"));
    theCmdClose->setDefault(true);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(theRTBox, 1);
    layout->addWidget(theCmdClose, 0, Qt::AlignHCenter);
    resize(860, 600);
    connect(theCmdClose, &QPushButton::clicked, this,
            [this] { RunWindowEvent(mUi, windowTitle().toStdString(), [this] { theCmdClose_Click(); }); });
    Form_Load();
}

void AboutFrm::Form_Load() {
    try {
        setWindowTitle(QString::fromStdString(AboutCaption()));
        theRTBox->clear();
        for (const AboutLine& line : kAboutText)
            RTBoxAdd(std::string(line.text) + (line.lineEnd ? "\r\n" : ""), line.colour, line.bold);
        theRTBox->moveCursor(QTextCursor::Start);
    }
    K5_TRAP(kAboutFrm, "Form_Load")
}

void AboutFrm::RTBoxAdd(const std::string& text, std::optional<uint32_t> colour, std::optional<bool> bold) {
    try {
        QTextCursor cursor(theRTBox->document());
        cursor.movePosition(QTextCursor::End);
        QTextCharFormat format;
        format.setForeground(RgbToQColor(colour.value_or(kColourBlack)));
        format.setFontWeight(bold.value_or(false) ? QFont::Bold : QFont::Normal);
        cursor.insertText(QString::fromStdString(text), format);
    }
    K5_TRAP(kAboutFrm, "RTBoxAdd")
}

void AboutFrm::theCmdClose_Click() {
    try {
        accept();
    }
    K5_TRAP(kAboutFrm, "theCmdClose_Click")
}

} // namespace k5
