#ifndef ZEL_SQL_H_
#define ZEL_SQL_H_

/// @file
/// The whole public interface of libzel_sql.

#include "zel/Error.h"
#include "zel/sql/Cache.h"
#include "zel/sql/CacheCopy.h"
#include "zel/sql/Component.h"
#include "zel/sql/ComponentList.h"
#include "zel/sql/Database.h"
#include "zel/sql/DatabaseError.h"
#include "zel/sql/DriverInfo.h"
#include "zel/sql/Procedure.h"
#include "zel/sql/Query.h"
#include "zel/sql/QueryResult.h"
#include "zel/sql/SourceState.h"
#include "zel/sql/component_view.h"
#include "zel/sql/functions.h"
#include "zel/sql/handles.h"
#include "zel/sql/trust.h"
#include "zel/sql/types.h"

#endif  // ZEL_SQL_H_
