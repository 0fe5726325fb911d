"""The tables the peer servers serve (the pymodbus server here, the libmodbus
server in libmodbus_server.c with the same formulas): 100 entries each,
protocol address a = register or coil number a + 1."""

SIZE = 100


def coil(a):
    return 1 if a % 3 == 0 or a == 97 else 0


def discrete_input(a):
    return 1 if a % 5 in (1, 2) else 0


def input_register(a):
    return 50000 - 7 * a


def holding_register(a):
    return 1000 + 3 * a * a


def coils():
    return [coil(a) for a in range(SIZE)]


def inputs():
    return [discrete_input(a) for a in range(SIZE)]


def input_registers():
    return [input_register(a) for a in range(SIZE)]


def holding_registers():
    return [holding_register(a) for a in range(SIZE)]


TABLES = {"coils": coils, "inputs": inputs, "inregs": input_registers,
          "holding": holding_registers}
