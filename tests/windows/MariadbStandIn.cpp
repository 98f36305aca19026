// libmariadb.dll of the Windows load test: a MariaDB client whose server is down. Every connect
// fails as a refused one does; nothing else is ever reached. The store's database path is tested
// on Linux against the real MariaDB server (tests/Database and the devhost tests). Built with the
// same .def as the plugin's import library, so it exports exactly the functions the connection
// layer calls.

#include <errmsg.h>
#include <mysql.h>

namespace {

struct Handle {
  unsigned int error = 0;
  const char* text = "";
};

Handle* Of(MYSQL* mysql) { return reinterpret_cast<Handle*>(mysql); }

}  // namespace

extern "C" {

MYSQL* STDCALL mysql_init(MYSQL*) { return reinterpret_cast<MYSQL*>(new Handle); }
void STDCALL mysql_close(MYSQL* mysql) { delete Of(mysql); }
void STDCALL mysql_server_end(void) {}
int STDCALL mysql_server_init(int, char**, char**) { return 0; }

// The TLS of Connector/C's Windows packages, whose non-blocking reads skip the encryption.
my_bool mariadb_get_infov(MYSQL*, enum mariadb_value value, void* arg, ...) {
  if (value != MARIADB_TLS_LIBRARY) return 1;
  *static_cast<const char**>(arg) = "Schannel";
  return 0;
}
// The version of Connector/C's Windows packages in 2025.
const char* STDCALL mysql_get_client_info(void) { return "3.4.10"; }
int STDCALL mysql_options(MYSQL*, enum mysql_option, const void*) { return 0; }

MYSQL* STDCALL mysql_real_connect(MYSQL* mysql, const char*, const char*, const char*, const char*,
                                  unsigned int, const char*, unsigned long) {
  Of(mysql)->error = CR_CONN_HOST_ERROR;
  Of(mysql)->text = "Can't connect to MySQL server (10061 \"Connection refused\")";
  return nullptr;
}

unsigned int STDCALL mysql_errno(MYSQL* mysql) { return Of(mysql)->error; }
const char* STDCALL mysql_error(MYSQL* mysql) { return Of(mysql)->text; }

// A store that never connected calls none of these.
int STDCALL mysql_real_query(MYSQL*, const char*, unsigned long) { return 1; }
MYSQL_RES* STDCALL mysql_store_result(MYSQL*) { return nullptr; }
unsigned int STDCALL mysql_field_count(MYSQL*) { return 0; }
my_ulonglong STDCALL mysql_affected_rows(MYSQL*) { return ~my_ulonglong{0}; }
unsigned long STDCALL mysql_real_escape_string(MYSQL*, char*, const char*, unsigned long) {
  return ~0ul;
}
void STDCALL mysql_free_result(MYSQL_RES*) {}
void STDCALL mysql_data_seek(MYSQL_RES*, unsigned long long) {}
MYSQL_ROW STDCALL mysql_fetch_row(MYSQL_RES*) { return nullptr; }
unsigned long* STDCALL mysql_fetch_lengths(MYSQL_RES*) { return nullptr; }
unsigned int STDCALL mysql_num_fields(MYSQL_RES*) { return 0; }
unsigned long STDCALL mysql_thread_id(MYSQL*) { return 0; }

// The non-blocking calls: a connect is refused at once, without waiting on anything, as above.
int STDCALL mysql_real_connect_start(MYSQL** ret, MYSQL* mysql, const char* host, const char* user,
                                     const char* password, const char* database, unsigned int port,
                                     const char* unix_socket, unsigned long flags) {
  *ret = mysql_real_connect(mysql, host, user, password, database, port, unix_socket, flags);
  return 0;
}
int STDCALL mysql_close_start(MYSQL* mysql) {
  mysql_close(mysql);
  return 0;
}
// Nothing is ever waited for, so nothing is continued, and a connection that never opened sends
// no statement.
int STDCALL mysql_real_connect_cont(MYSQL** ret, MYSQL*, int) {
  *ret = nullptr;
  return 0;
}
int STDCALL mysql_close_cont(MYSQL*, int) { return 0; }
int STDCALL mysql_real_query_start(int* ret, MYSQL*, const char*, unsigned long) {
  *ret = 1;
  return 0;
}
int STDCALL mysql_real_query_cont(int* ret, MYSQL*, int) {
  *ret = 1;
  return 0;
}
int STDCALL mysql_store_result_start(MYSQL_RES** ret, MYSQL*) {
  *ret = nullptr;
  return 0;
}
int STDCALL mysql_store_result_cont(MYSQL_RES** ret, MYSQL*, int) {
  *ret = nullptr;
  return 0;
}
my_socket STDCALL mysql_get_socket(MYSQL*) {
  return static_cast<my_socket>(MARIADB_INVALID_SOCKET);
}
unsigned int STDCALL mysql_get_timeout_value_ms(const MYSQL*) { return 0; }

}  // extern "C"
