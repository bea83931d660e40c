// The Windows SDK's libpq and OpenSSL under wine, against a PostgreSQL server on this machine:
// a connection that checks the server's certificate and name (sslmode=verify-full) and runs a
// query, and the same connection refused when the trusted root is another one.
//   tst_libpq_win.exe CONNINFO CONNINFO_WITH_WRONG_ROOT
// Run by scripts/test-windows.sh, which starts the server.

#include "wintest.h"

#include <libpq-fe.h>

#include <string>

namespace {

std::string good, wrong;

void verifiedConnection()
{
    PGconn *conn = PQconnectdb(good.c_str());
    WCHECK_MSG(PQstatus(conn) == CONNECTION_OK, PQerrorMessage(conn));
    WCHECK(PQsslInUse(conn) == 1);
    PGresult *r = PQexec(conn, "select count(*) from generate_series(1, 1000)");
    WCHECK_MSG(PQresultStatus(r) == PGRES_TUPLES_OK, PQerrorMessage(conn));
    WCHECK(PQntuples(r) == 1 && std::string(PQgetvalue(r, 0, 0)) == "1000");
    PQclear(r);
    PQfinish(conn);
}

void wrongRootRefused()
{
    PGconn *conn = PQconnectdb(wrong.c_str());
    WCHECK(PQstatus(conn) == CONNECTION_BAD);
    WCHECK_MSG(std::string(PQerrorMessage(conn)).find("certificate verify failed") != std::string::npos,
               PQerrorMessage(conn));
    PQfinish(conn);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::printf("usage: tst_libpq_win CONNINFO CONNINFO_WITH_WRONG_ROOT\n");
        return 2;
    }
    good = argv[1];
    wrong = argv[2];
    return wintest::run("tst_libpq_win", {{"verifiedConnection", &verifiedConnection},
                                          {"wrongRootRefused", &wrongRootRefused}});
}
