// The ordered list of byte strings that the settings, the source-file split,
// SQL texts and option lists are held in.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

class TStringList {
public:
    TStringList() = default;
    TStringList(std::initializer_list<std::string> lines);
    TStringList(const TStringList& other) : m_lines(other.m_lines) {}
    TStringList& operator=(const TStringList& other);

    // Called before and after every modification; while an update is open
    // (BeginUpdate) only once each, at its start and at its end. A hook that
    // throws from OnChanging leaves the list as it was.
    std::function<void()> OnChanging;
    std::function<void()> OnChange;

    int Count() const noexcept { return static_cast<int>(m_lines.size()); }
    bool Empty() const noexcept { return m_lines.empty(); }
    // Raises EListError "リストのインデックスが範囲を超えています (%d)" outside 0 .. Count - 1.
    const std::string& Strings(int index) const;
    const std::string& operator[](int index) const { return Strings(index); }
    void Put(int index, const std::string& line);

    int Add(const std::string& line);
    void Clear();
    void Delete(int index);
    void Assign(const TStringList& other);
    // First line equal to text, compared without regard to ASCII letter case; -1 if none.
    int IndexOf(const std::string& text) const;

    // Lines each followed by CR LF.
    std::string Text() const;
    // The same into out, whose room is reused.
    void TextTo(std::string& out) const;
    // Replaces the lines with the text split at CR, LF or CR LF, as one change.
    void SetText(const std::string& text);

    void BeginUpdate();
    void EndUpdate();

    const std::vector<std::string>& Lines() const noexcept { return m_lines; }

    // Fast path for the source-file split: the caller rebuilds the lines in
    // place without notifications (no hooks are ever set on such a list).
    std::vector<std::string>& RawLines() noexcept { return m_lines; }

private:
    void Changing();
    void Changed();

    std::vector<std::string> m_lines;
    int m_updateCount = 0;
};

// Base of the window's components: a name that error texts and cursor names use.
class TComponent {
public:
    explicit TComponent(std::string name = {}) : m_name(std::move(name)) {}
    virtual ~TComponent() = default;
    TComponent(const TComponent&) = delete;
    TComponent& operator=(const TComponent&) = delete;

    const std::string& Name() const noexcept { return m_name; }
    void SetName(const std::string& name) { m_name = name; }

private:
    std::string m_name;
};

// An event handler; the argument is the component that fires it.
using TNotifyEvent = std::function<void(TComponent* sender)>;
