#include "Classes.h"

#include "SysUtils.h"

TStringList::TStringList(std::initializer_list<std::string> lines) : m_lines(lines) {}

TStringList& TStringList::operator=(const TStringList& other)
{
    if (this != &other)
        Assign(other);
    return *this;
}

const std::string& TStringList::Strings(int index) const
{
    if (index < 0 || index >= Count())
        // リストのインデックスが範囲を超えています (%d)
        throw EListError(Format("\x83\x8a\x83\x58\x83\x67\x82\xcc\x83\x43\x83\x93\x83\x66\x83\x62\x83\x4e\x83\x58\x82\xaa\x94\xcd\x88\xcd\x82\xf0\x92\xb4\x82\xa6\x82\xc4\x82\xa2\x82\xdc\x82\xb7\x20\x28\x25\x64\x29", {std::int64_t{index}}));
    return m_lines[static_cast<std::size_t>(index)];
}

void TStringList::Put(int index, const std::string& line)
{
    Strings(index);
    Changing();
    m_lines[static_cast<std::size_t>(index)] = line;
    Changed();
}

int TStringList::Add(const std::string& line)
{
    Changing();
    m_lines.push_back(line);
    Changed();
    return Count() - 1;
}

void TStringList::Clear()
{
    if (m_lines.empty())
        return;
    Changing();
    m_lines.clear();
    Changed();
}

void TStringList::Delete(int index)
{
    Strings(index);
    Changing();
    m_lines.erase(m_lines.begin() + index);
    Changed();
}

void TStringList::Assign(const TStringList& other)
{
    if (this == &other)
        return;
    BeginUpdate();
    try {
        // Line by line into the strings already held, whose room is reused:
        // replacing a statement's lines then allocates next to nothing.
        m_lines = other.m_lines;
    } catch (...) {
        EndUpdate();
        throw;
    }
    EndUpdate();
}

int TStringList::IndexOf(const std::string& text) const
{
    for (std::size_t i = 0; i < m_lines.size(); ++i)
        if (SameText(m_lines[i], text))
            return static_cast<int>(i);
    return -1;
}

std::string TStringList::Text() const
{
    std::string text;
    TextTo(text);
    return text;
}

void TStringList::TextTo(std::string& out) const
{
    std::size_t size = 0;
    for (const std::string& line : m_lines)
        size += line.size() + 2;
    out.clear();
    out.reserve(size);
    for (const std::string& line : m_lines) {
        out += line;
        out += "\r\n";
    }
}

void TStringList::SetText(const std::string& text)
{
    BeginUpdate();
    try {
        Clear();
        std::size_t i = 0;
        const std::size_t n = text.size();
        while (i < n) {
            std::size_t start = i;
            while (i < n && text[i] != '\r' && text[i] != '\n')
                ++i;
            Add(text.substr(start, i - start));
            if (i < n && text[i] == '\r')
                ++i;
            if (i < n && text[i] == '\n')
                ++i;
        }
    } catch (...) {
        EndUpdate();
        throw;
    }
    EndUpdate();
}

void TStringList::BeginUpdate()
{
    if (m_updateCount == 0 && OnChanging)
        OnChanging();
    ++m_updateCount;
}

void TStringList::EndUpdate()
{
    if (--m_updateCount == 0 && OnChange)
        OnChange();
}

void TStringList::Changing()
{
    if (m_updateCount == 0 && OnChanging)
        OnChanging();
}

void TStringList::Changed()
{
    if (m_updateCount == 0 && OnChange)
        OnChange();
}
