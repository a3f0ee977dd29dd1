#pragma once
// The About window: what the utility is for, how it works and when it may be run.
#include "support/UserInteraction.h"

#include <QDialog>

#include <cstdint>
#include <optional>
#include <string>

class QTextBrowser;
class QPushButton;

namespace k5 {

class AboutFrm : public QDialog {
    Q_OBJECT
public:
    // Builds the caption and the text; a failure while doing so is raised.
    AboutFrm(UserInteraction& ui, QWidget* parent = nullptr);

    // Appends the text at the end of the pane in the colour (red in the low byte; black
    // when none) and weight given; no line end of its own.
    void RTBoxAdd(const std::string& text, std::optional<uint32_t> colour = std::nullopt,
                  std::optional<bool> bold = std::nullopt);

    QTextBrowser* theRTBox;
    QPushButton* theCmdClose;

private:
    void Form_Load();
    UserInteraction& mUi;
    void theCmdClose_Click();
};

// The caption of the About window for this build.
std::string AboutCaption();

} // namespace k5
