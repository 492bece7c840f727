// Errors of the database layer: the status vector per thread, the server's
// message, the client error table and the exception classes.
#pragma once

#include "DBConnection.h"
#include "IBClientTypes.h"

#include <SysUtils.h>

#include <cstdlib>
#include <initializer_list>
#include <memory>
#include <vector>

class EIBError : public EDatabaseError {
public:
    EIBError(int sqlCode, std::string message)
        : EDatabaseError(std::move(message)), m_sqlErrorCode(sqlCode) {}
    EIBError(int sqlCode, int engineCode, std::string message)
        : EDatabaseError(std::move(message)), m_sqlErrorCode(sqlCode), m_engineErrorCode(engineCode) {}
    int SqlErrorCode() const noexcept { return m_sqlErrorCode; }
    int EngineErrorCode() const noexcept { return m_engineErrorCode; }

private:
    int m_sqlErrorCode = 0;
    int m_engineErrorCode = 0;
};

// Raised from a server status vector.
class EIBInterBaseError : public EIBError {
public:
    using EIBError::EIBError;
};

// Raised from a server status vector whose SQL code is -551.
class EIBInterBaseRoleError : public EIBError {
public:
    using EIBError::EIBError;
};

// Client-side misuse; SqlErrorCode is the client error code.
class EIBClientError : public EIBError {
public:
    using EIBError::EIBError;
};

// Client error codes raised by the layer (the table's index).
enum : int {
    ibxeUnknownError = 0,
    ibxeInterBaseMissing = 1,
    ibxeIB60feature = 3,
    ibxeNotSupported = 4,
    ibxeNotPermitted = 5,
    ibxeDPBConstantNotSupported = 11,
    ibxeTPBConstantNotSupported = 13,
    ibxeDatabaseClosed = 15,
    ibxeDatabaseOpen = 16,
    ibxeDatabaseNameMissing = 17,
    ibxeNotInTransaction = 18,
    ibxeInTransaction = 19,
    ibxeTimeoutNegative = 20,
    ibxeNoDatabasesInTransaction = 21,
    ibxeDatabaseNotAssigned = 24,
    ibxeTransactionNotAssigned = 25,
    ibxeXSQLDAIndexOutOfRange = 26,
    ibxeInvalidStatementHandle = 30,
    ibxeSQLOpen = 31,
    ibxeSQLClosed = 32,
    ibxeDatasetOpen = 33,
    ibxeUnknownSQLDataType = 35,
    ibxeInvalidDataConversion = 38,
    ibxeEmptyQuery = 42,
    ibxeFieldNotFound = 46,
    ibxeBufferNotSet = 53,
    ibxeSQLParseError = 55,
    ibxeCantEndSharedTransaction = 62,
    ibxeEmptySQLStatement = 65,
    ibxeIsASelectStatement = 66,
    ibxeRequiredParamNotSet = 67,
    ibxeSQLDialectInvalid = 87,
    ibxeParameterBufferTooLong = 112,   // a DPB, a TPB or a database name over 32767 bytes
    ibxeDPBConstantUnknown = 114,
    ibxeTPBConstantUnknown = 115,
    ibxeCannotCreateSharedResource = 116,
    ibxeFieldSizeMismatch = 117,
    ibxeParameterValueTooLong = 118,    // a DPB value or TPB table name over 255 bytes
    ibxeStringTooLarge = 119,
};

// The table's format for a code ("" for entries the layer never raises).
const std::string& ClientErrorFormat(int code);

// The calling thread's status vector (ISC_STATUS_LENGTH words).
TIBStatus* ThreadStatusVector();

// Raises EIBInterBaseError (EIBInterBaseRoleError for SQL code -551) from the
// calling thread's status vector.
[[noreturn]] void RaiseServerError();
// Raises EIBClientError with the table's format for the code, formatted with args.
[[noreturn]] void RaiseClientError(int code, const std::vector<FormatArg>& args = {});
// Whether the calling thread's status vector names any of the codes.
bool StatusVectorHas(std::initializer_list<TIBStatus> codes);

enum class TIBErrorMessage : unsigned { IncludeSqlCode = 1, IncludeServerText = 2, IncludeSqlText = 4 };
// Process-wide, read and written under one lock; initially server and SQL text.
unsigned ErrorMessageOptions();
void SetErrorMessageOptions(unsigned options);
