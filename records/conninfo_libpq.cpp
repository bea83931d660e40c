// Connection strings and URIs read by libpq itself.
#include "records/databasesetting.h"

#include <libpq-fe.h>

namespace Records {

bool parseConninfo(const QString &text, ConnParams *params, QString *error)
{
    char *message = nullptr;
    PQconninfoOption *options = PQconninfoParse(text.toUtf8().constData(), &message);
    if (!options) {
        // libpq's message may quote part of the value, which may be a password: not shown.
        PQfreemem(message);
        *error = QStringLiteral("the Database setting is not a valid connection string or URI (a value "
                                "with blanks, commas or quotes goes in single quotes, a quote or "
                                "backslash in it after a backslash)");
        return false;
    }
    params->clear();
    for (const PQconninfoOption *option = options; option->keyword; ++option) {
        if (option->val)
            params->append({QString::fromUtf8(option->keyword), QString::fromUtf8(option->val)});
    }
    PQconninfoFree(options);
    return true;
}

} // namespace Records
