/* A Modbus RTU server made with libmodbus, for Korvane the master to poll.
 *
 * usage: libmodbus_server DEVICE UNIT
 *
 * Serves UNIT at 9600 baud, 8N1, with 100 coils, discrete inputs, input
 * registers and holding registers at protocol addresses 0..99 (the formulas
 * of interop_values.py; anything beyond gets exception 2). Prints "ready"
 * once the port is open and serves until it is signalled.
 */
#include <errno.h>
#include <modbus.h>
#include <stdio.h>
#include <stdlib.h>

enum { kSize = 100 };

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s DEVICE UNIT\n", argv[0]);
    return 2;
  }
  modbus_t* ctx = modbus_new_rtu(argv[1], 9600, 'N', 8, 1);
  if (ctx == NULL) {
    fprintf(stderr, "modbus_new_rtu: %s\n", modbus_strerror(errno));
    return 1;
  }
  modbus_set_slave(ctx, atoi(argv[2]));
  modbus_mapping_t* map = modbus_mapping_new(kSize, kSize, kSize, kSize);
  if (map == NULL || modbus_connect(ctx) == -1) {
    fprintf(stderr, "cannot serve %s: %s\n", argv[1], modbus_strerror(errno));
    return 1;
  }
  for (int a = 0; a < kSize; a++) {
    map->tab_bits[a] = (a % 3 == 0 || a == 97) ? 1 : 0;
    map->tab_input_bits[a] = (a % 5 == 1 || a % 5 == 2) ? 1 : 0;
    map->tab_input_registers[a] = (uint16_t)(50000 - 7 * a);
    map->tab_registers[a] = (uint16_t)(1000 + 3 * a * a);
  }
  printf("ready\n");
  fflush(stdout);

  uint8_t query[MODBUS_RTU_MAX_ADU_LENGTH];
  for (;;) {
    int rc = modbus_receive(ctx, query);
    if (rc > 0) {
      modbus_reply(ctx, query, rc, map);
    } else if (rc == -1) {
      /* Bytes that are not a request (Korvane's "Open Port" on opening):
       * drop what waits so the next request starts clean. */
      modbus_flush(ctx);
    }
  }
}
