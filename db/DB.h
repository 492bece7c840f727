// The data-access framework's dataset, field definitions and parameters, as
// far as the layer's result set stands on them.
#pragma once

#include "DBConnection.h"

#include <memory>
#include <string>
#include <vector>

enum TFieldType {
    ftUnknown,
    ftString,
    ftSmallint,
    ftInteger,
    ftWord,
    ftBoolean,
    ftFloat,
    ftCurrency,
    ftBCD,
    ftDate,
    ftTime,
    ftDateTime,
    ftBytes,
    ftVarBytes,
    ftAutoInc,
    ftBlob,
    ftMemo,
    ftGraphic,
    ftFmtMemo,
    ftParadoxOle,
    ftDBaseOle,
    ftTypedBinary,
    ftCursor,
    ftFixedChar,
    ftWideString,
    ftLargeint,
};

// Field attributes, combined as a bit set.
enum : unsigned {
    faHiddenCol = 1u << 0,
    faReadonly = 1u << 1,
    faRequired = 1u << 2,
    faLink = 1u << 3,
    faUnNamed = 1u << 4,
    faFixed = 1u << 5,
};
using TFieldAttributes = unsigned;

struct TFieldDef {
    std::string Name;
    int FieldNo = 0;            // 1-based column position in the result
    TFieldType DataType = ftUnknown;
    int Size = 0;
    int Precision = 0;
    TFieldAttributes Attributes = 0;
    bool InternalCalcField = false;

    bool Required() const noexcept { return (Attributes & faRequired) != 0; }
};

class TFieldDefs {
public:
    int Count() const noexcept { return static_cast<int>(m_items.size()); }
    // Raises EListError outside 0 .. Count - 1.
    const TFieldDef& Items(int index) const;
    TFieldDef& Add(TFieldDef def);
    void Clear() noexcept { m_items.clear(); }
    // First definition whose name equals the text without regard to ASCII case.
    const TFieldDef* Find(const std::string& name) const;

    // Brackets a rebuild; nothing listens to the definitions yet.
    void BeginUpdate() noexcept { ++m_updateCount; }
    void EndUpdate() noexcept { --m_updateCount; }

private:
    std::vector<TFieldDef> m_items;
    int m_updateCount = 0;
};

// One named parameter value of a query. Values travel as text; an unset
// parameter is null.
class TParam {
public:
    explicit TParam(std::string name) : m_name(std::move(name)) {}

    const std::string& Name() const noexcept { return m_name; }
    bool IsNull() const noexcept { return m_isNull; }
    const std::string& AsString() const noexcept { return m_value; }
    void SetAsString(const std::string& value);
    void Clear() noexcept;
    void Assign(const TParam& other);

private:
    std::string m_name;
    std::string m_value;
    bool m_isNull = true;
};

class TParams {
public:
    TParams() = default;
    TParams(const TParams&) = delete;
    TParams& operator=(const TParams&) = delete;

    int Count() const noexcept { return static_cast<int>(m_items.size()); }
    // Raises EListError outside 0 .. Count - 1.
    TParam& Items(int index) const;
    TParam& CreateParam(const std::string& name);
    // Compared without regard to ASCII case; nullptr when absent.
    TParam* FindParam(const std::string& name) const;
    // As FindParam; raises EDatabaseError "パラメータ '%s' が見つかりません" when absent.
    TParam& ParamByName(const std::string& name) const;
    void Clear() noexcept { m_items.clear(); }
    // Copies the value of every parameter of `source` whose name is also here.
    void AssignValues(const TParams& source);
    void Swap(TParams& other) noexcept { m_items.swap(other.m_items); }

    // The framework's parameter parser. A parameter is ":" followed by a name
    // (letters, digits, "_", "$", or any text in double quotes); "::" is no
    // parameter; nothing inside '...' or "..." literals (doubled quotes stay
    // inside) or /* ... */ comments is looked at. Returns the text with each
    // parameter replaced by "?"; with doCreate, adds one parameter per new
    // name in order of appearance. A text without a colon outside its
    // literals comes back unchanged.
    std::string ParseSQL(const std::string& sql, bool doCreate);

private:
    std::vector<std::unique_ptr<TParam>> m_items;
};

enum TDataEvent { deFieldChange, deRecordChange, deDataSetChange, deDataSetScroll, deLayoutChange,
                  deUpdateRecord, deUpdateState, deCheckBrowseMode, dePropertyChange, deFieldListChange,
                  deFocusControl, deParentScroll, deConnectChange };

// The framework's dataset: the open state and the checks other operations
// make on it. Opening and closing run the result set's InternalOpen and
// InternalClose.
class TDataSet : public TComponent {
public:
    explicit TDataSet(std::string name = {}) : TComponent(std::move(name)) {}
    ~TDataSet() override = default;

    bool Active() const noexcept { return m_active; }
    // Writing the current value does nothing.
    void SetActive(bool value);
    void Open() { SetActive(true); }
    void Close() { SetActive(false); }

    TFieldDefs& FieldDefs() noexcept { return m_fieldDefs; }
    const TFieldDefs& FieldDefs() const noexcept { return m_fieldDefs; }

    // EDatabaseError "<name>: データセットが開かれているため, この操作は実行できません" while active.
    void CheckInactive() const;
    // EDatabaseError "<name>: データセットは閉じているため, この操作は実行できません" while inactive.
    void CheckActive() const;

    // Tells the dataset's listeners about a change; none are attached here.
    virtual void DataEvent(TDataEvent event, long info) {}

protected:
    // A failing InternalOpen runs InternalClose and leaves the set inactive.
    virtual void InternalOpen() {}
    virtual void InternalClose() {}

    bool m_active = false;

private:
    TFieldDefs m_fieldDefs;
};
