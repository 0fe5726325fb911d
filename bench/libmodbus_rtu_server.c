/* Modbus RTU slave for the turnaround benchmark, on libmodbus.
 *
 *   libmodbus_rtu_server DEVICE
 *
 * Serves unit 1 with 100 holding registers on DEVICE at 115200 baud, 8N1,
 * until the device goes away or the process is signalled. */
#include <errno.h>
#include <modbus.h>
#include <stdio.h>

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s DEVICE\n", argv[0]);
    return 2;
  }
  modbus_t* ctx = modbus_new_rtu(argv[1], 115200, 'N', 8, 1);
  modbus_mapping_t* map = modbus_mapping_new(100, 100, 100, 100);
  if (ctx == NULL || map == NULL || modbus_set_slave(ctx, 1) != 0 || modbus_connect(ctx) != 0) {
    fprintf(stderr, "libmodbus_rtu_server: %s\n", modbus_strerror(errno));
    return 1;
  }
  for (int i = 0; i < 100; ++i) map->tab_registers[i] = (uint16_t)i;
  uint8_t query[MODBUS_RTU_MAX_ADU_LENGTH];
  for (;;) {
    const int rc = modbus_receive(ctx, query);
    if (rc > 0) {
      modbus_reply(ctx, query, rc, map);
    } else if (rc < 0 && errno != EMBBADCRC && errno != EMBBADDATA && errno != ETIMEDOUT &&
               errno != EMBXILFUN) {
      break; /* the device went away */
    }
  }
  modbus_mapping_free(map);
  modbus_close(ctx);
  modbus_free(ctx);
  return 0;
}
