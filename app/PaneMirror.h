#pragma once
// The window's protocol pane: shows what the protocol publishes, in the same text, colours
// and weights as the pane model, and keeps the newest entry in view.
#include "protocol/ProtocolEvents.h"

#include <functional>
#include <string>

class QTextEdit;

namespace k5 {

class PaneMirror : public ProtocolListener {
public:
    explicit PaneMirror(QTextEdit& pane) : mPane(pane) {}

    void EntryWritten(const ProtocolLine& line) override;
    void StepBegun(const ProtocolLine& line) override;
    void StepClosed(const ProtocolLine& line, bool inPlace) override;
    void Cleared() override;

    // Hears the name of every step begun (the last line of its text).
    std::function<void(const std::string& step)> onStepBegun;

private:
    // At the end of the document; CR LF becomes a paragraph break there.
    void Append(const std::string& text, uint32_t colour, bool bold);
    void ShowNewest();

    QTextEdit& mPane;
};

} // namespace k5
