// The peer of the GET benchmark: a Modbus TCP server on libmodbus (the Debian package), the kind
// of server users would otherwise poll for PLC values. It serves 16 holding registers from
// memory to one client at a time on 127.0.0.1; port 0 picks a free port, printed as "port=N".
// Benchmark use only.
#include <arpa/inet.h>
#include <modbus.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  modbus_t* ctx = modbus_new_tcp("127.0.0.1", argc > 1 ? atoi(argv[1]) : 0);
  modbus_mapping_t* map = ctx ? modbus_mapping_new(0, 0, 16, 0) : nullptr;
  int ls = map ? modbus_tcp_listen(ctx, 1) : -1;
  sockaddr_in a = {};
  socklen_t len = sizeof a;
  if (ls < 0 || getsockname(ls, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    fprintf(stderr, "modbus peer: cannot listen: %s\n", modbus_strerror(errno));
    return 1;
  }
  map->tab_registers[0] = 1234;
  printf("port=%d\n", ntohs(a.sin_port));
  fflush(stdout);
  uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
  for (;;) {
    int s = ls;
    if (modbus_tcp_accept(ctx, &s) < 0) break;
    int n;
    while ((n = modbus_receive(ctx, query)) >= 0)
      if (n > 0) modbus_reply(ctx, query, n, map);
    close(modbus_get_socket(ctx));
  }
  modbus_mapping_free(map);
  modbus_free(ctx);
  return 0;
}
