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

enum TDataSetState { dsInactive, dsBrowse };
enum TFieldKind { fkData, fkCalculated, fkLookup, fkInternalCalc };
// What a dataset's GetRecord is asked for, and what it found.
enum TGetMode { gmCurrent, gmNext, gmPrior };
enum TGetResult { grOK, grBOF, grEOF, grError };

class TDataSet;

// One column of a dataset's current record. Fields are created and owned by
// their dataset; they read their value through it.
class TField {
public:
    TField(TDataSet* dataSet, const TFieldDef& def);
    virtual ~TField() = default;
    TField(const TField&) = delete;
    TField& operator=(const TField&) = delete;

    TDataSet* DataSet() const noexcept { return m_dataSet; }
    const std::string& FieldName() const noexcept { return m_fieldName; }
    int FieldNo() const noexcept { return m_fieldNo; }
    TFieldType DataType() const noexcept { return m_dataType; }
    int Size() const noexcept { return m_size; }
    bool Required() const noexcept { return m_required; }
    bool ReadOnly() const noexcept { return m_readOnly; }
    TFieldKind FieldKind() const noexcept { return m_fieldKind; }
    // Bytes the dataset copies for this field.
    virtual int DataSize() const;

    // Whether the current record holds no value for the field.
    bool IsNull() const;
    // The current record's value as text; "" when it has none.
    virtual std::string AsString() const;

protected:
    // Copies the value into buffer (DataSize bytes); false when there is none.
    bool GetData(void* buffer) const;

private:
    TDataSet* m_dataSet;    // not owned
    std::string m_fieldName;
    int m_fieldNo;
    TFieldType m_dataType;
    int m_size;
    bool m_required;
    bool m_readOnly;
    TFieldKind m_fieldKind;
};

class TStringField : public TField {
public:
    TStringField(TDataSet* dataSet, const TFieldDef& def);
    int DataSize() const override { return Size() + 1; }
    bool FixedChar() const noexcept { return m_fixedChar; }
    void SetFixedChar(bool value) noexcept { m_fixedChar = value; }
    // The result set's translation is the identity: this changes nothing.
    bool Transliterate() const noexcept { return m_transliterate; }
    void SetTransliterate(bool value) noexcept { m_transliterate = value; }

private:
    bool m_fixedChar;
    bool m_transliterate = true;
};

// The numeric and date fields read the slot their dataset converted the
// column into: 32-bit integers, 64-bit integers, doubles, currency in
// units of 1/10000 (BCD), and the runtime's date-time (days since
// 1899/12/30, the time as the fraction).
class TIntegerField : public TField {
public:
    using TField::TField;
    int DataSize() const override { return 4; }
    std::string AsString() const override;
};

class TSmallintField : public TIntegerField {
public:
    using TIntegerField::TIntegerField;
};

class TLargeintField : public TField {
public:
    using TField::TField;
    int DataSize() const override { return 8; }
    std::string AsString() const override;
};

class TFloatField : public TField {
public:
    using TField::TField;
    int DataSize() const override { return 8; }
    std::string AsString() const override;
};

class TBCDField : public TField {
public:
    TBCDField(TDataSet* dataSet, const TFieldDef& def) : TField(dataSet, def), m_precision(def.Precision) {}
    int DataSize() const override { return 8; }
    int Precision() const noexcept { return m_precision; }
    std::string AsString() const override;

private:
    int m_precision;
};

// The text of a date or time is the engine's, whose calendar it follows: a
// dataset makes fields of its own kind for it (CreateField). These give "".
class TDateTimeField : public TField {
public:
    using TField::TField;
    int DataSize() const override { return 8; }
};

class TDateField : public TDateTimeField {
public:
    using TDateTimeField::TDateTimeField;
};

class TTimeField : public TDateTimeField {
public:
    using TDateTimeField::TDateTimeField;
};

// Blob columns hold only the blob's identifier; what reading its text means
// is the engine's, as for dates. These give "".
class TBlobField : public TField {
public:
    using TField::TField;
    int DataSize() const override { return 8; }
};

class TMemoField : public TBlobField {
public:
    using TBlobField::TBlobField;
};

// The fields of a dataset in definition order.
class TFields {
public:
    int Count() const noexcept { return static_cast<int>(m_items.size()); }
    // Raises EListError outside 0 .. Count - 1.
    TField& operator[](int index) const
    {
        if (index < 0 || index >= Count())
            RaiseIndexError(index);
        return *m_items[static_cast<std::size_t>(index)];
    }
    TField& Fields(int index) const { return (*this)[index]; }
    // Compared without regard to ASCII case; nullptr when absent.
    TField* FindField(const std::string& name) const;
    void Add(std::unique_ptr<TField> field) { m_items.push_back(std::move(field)); }
    void Clear() noexcept { m_items.clear(); }

private:
    [[noreturn]] static void RaiseIndexError(int index);

    std::vector<std::unique_ptr<TField>> m_items;
};

// The framework's dataset: the open state, the fields, and the record
// window through which First and Next walk the records a descendant
// supplies through GetRecord. The window holds one record, plus one scratch
// buffer that a forward read fills before the two swap.
class TDataSet : public TComponent {
public:
    explicit TDataSet(std::string name = {}) : TComponent(std::move(name)) {}
    // A descendant closes in its own destructor: the record buffers are its
    // to free.
    ~TDataSet() override = default;

    bool Active() const noexcept { return m_active; }
    // Writing the current value does nothing.
    void SetActive(bool value);
    void Open() { SetActive(true); }
    void Close() { SetActive(false); }
    TDataSetState State() const noexcept { return m_active ? dsBrowse : dsInactive; }

    TFieldDefs& FieldDefs() noexcept { return m_fieldDefs; }
    const TFieldDefs& FieldDefs() const noexcept { return m_fieldDefs; }
    TFields& Fields() noexcept { return m_fields; }
    const TFields& Fields() const noexcept { return m_fields; }

    // EDatabaseError "<name>: データセットは閉じているため, この操作は実行できません"
    // while inactive, for both.
    void First();
    void Next();
    bool Eof() const noexcept { return m_eof; }
    bool Bof() const noexcept { return m_bof; }

    // EDatabaseError "<name>: データセットが開かれているため, この操作は実行できません" while active.
    void CheckInactive() const;
    // EDatabaseError "<name>: データセットは閉じているため, この操作は実行できません" while inactive.
    void CheckActive() const;

    // Tells the dataset's listeners about a change; none are attached here.
    virtual void DataEvent(TDataEvent event, long info) {}

    // Copies the field's value from the active record into buffer; false
    // when there is no active record or no value.
    virtual bool GetFieldData(const TField& field, void* buffer) const { return false; }

protected:
    // A failing InternalOpen runs InternalClose and leaves the set inactive.
    virtual void InternalOpen() {}
    virtual void InternalClose() {}
    // Whether the open set has a cursor to read records from.
    virtual bool IsCursorOpen() const { return false; }
    // A new record buffer, and its release; the window owns what these give.
    virtual char* AllocRecordBuffer() { return nullptr; }
    virtual void FreeRecordBuffer(char* buffer) noexcept {}
    virtual TGetResult GetRecord(char* buffer, TGetMode mode) { return grEOF; }
    // Before the first record.
    virtual void InternalFirst() {}
    // Positions the descendant's cursor on the record the buffer holds.
    virtual void InternalSetToRecord(char* buffer) {}
    // The default fields, one per definition, in definition order.
    virtual std::unique_ptr<TField> CreateField(const TFieldDef& def);
    void CreateFields();
    void DestroyFields() noexcept { m_fields.Clear(); }

    // The window's active record; nullptr while it holds none.
    char* ActiveBuffer() const noexcept { return m_active && m_recordCount > 0 ? m_buffers[0] : nullptr; }

    bool m_active = false;

private:
    void OpenCursor();
    void AllocateWindow();
    void FreeWindow() noexcept;
    bool ReadForward();

    TFieldDefs m_fieldDefs;
    TFields m_fields;
    std::vector<char*> m_buffers;   // the window's record, then the scratch buffer
    int m_recordCount = 0;          // records the window holds: 0 or 1
    bool m_cursorMarkValid = false; // the descendant's cursor stands on the held record
    bool m_bof = true;
    bool m_eof = true;
};
