// What the dictionary build needs from the window. The build decides every
// text it shows; the view only converts it (CP932) and paints it.
#pragma once

#include <string>

class BuildView {
public:
    virtual ~BuildView() = default;
    virtual void SetPhaseLine(const std::string& text) = 0;     // repaints at once
    virtual void SetProgressLine(const std::string& text) = 0;  // repaints at once
    virtual void ShowMessage(const std::string& text) = 0;      // modal, OK only
    virtual bool EscapeDown() = 0;                              // physical key state
    virtual void EnableBuildButton(bool on) = 0;
};
