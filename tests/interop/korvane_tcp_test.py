"""Korvane over TCP with pymodbus peers that carry RTU frames, as a serial
device server does: as master polling pymodbus's TCP server
(--port N=tcp:HOST:PORT), as slave answering pymodbus's TCP client
(--port N=tcp-listen:HOST:PORT), and in each role a connection dropped
mid-run. The status line and the diagnostic log report the link; the
exchange goes on once the peer is back."""

import os
import re
import shutil
import signal
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import interop_support as support  # noqa: E402
import interop_values as values  # noqa: E402

COM = 2
UNIT = 7
SERVER = os.path.join(support.HERE, "pymodbus_server.py")


class TcpCase(support.InteropCase):

    def logging_korvane(self, workspace, device):
        """Korvane with its diagnostic log on. The log is written beside the
        program, so each test runs its own copy of it in its own folder."""
        folder = os.path.join(self.folder, "bin")
        os.mkdir(folder)
        program = os.path.join(folder, "korvane")
        try:
            os.link(support.KORVANE, program)
        except OSError:
            shutil.copy2(support.KORVANE, program)
        k = support.Korvane(self.folder, workspace, COM, device, extra=["-debug"], program=program)
        self.addCleanup(k.stop, signal.SIGKILL, 5)
        k.log = os.path.join(folder, "HHDebug.txt")
        return k

    def server(self, port=0):
        s = self.child([support.PYTHON, SERVER, "tcp:127.0.0.1:%d" % port, "rtu", str(UNIT)],
                       "pymodbus tcp server", ready=r"ready \d+")
        return s, int(s.out.lines[-1].split()[1])

    def status_after(self, k, pattern, after):
        """Index of the first status line after index `after` matching `pattern`."""
        rx = re.compile(pattern)
        deadline = support.Deadline(support.POLL_TIMEOUT)
        while True:
            for i in range(after + 1, len(k.out.lines)):
                if rx.fullmatch(k.out.lines[i]):
                    return i
            if deadline.passed():
                self.fail("no status line matching %r after line %d\n%s" % (pattern, after, k.describe()))
            k.out.wait_for(r"(?!x)x", min(0.2, deadline.left()), len(k.out.lines))

    def client(self, port):
        from pymodbus.client import ModbusTcpClient
        from pymodbus.transaction import ModbusRtuFramer
        c = ModbusTcpClient("127.0.0.1", port, framer=ModbusRtuFramer, timeout=2, retries=0)
        self.assertTrue(c.connect(), "pymodbus cannot connect to port %d" % port)
        self.addCleanup(c.close)
        return c

    def answer(self, reply, what):
        self.assertFalse(reply.isError(), "%s: %s" % (what, reply))
        return reply

    def log_text(self, k):
        with open(k.log, "rb") as f:
            return f.read().decode("latin-1")


class KorvaneMasterOverTcp(TcpCase):

    def test_polls_a_device_server_and_reconnects_after_a_drop(self):
        server, port = self.server()
        where = "127.0.0.1:%d" % port
        ws = self.workspace("master.txt", master=True, com=COM, addresses=(UNIT, 2, 3, 4, 5),
                            page1=(1, 20, 0, support.REG_TYPE["holding"]))
        k = self.logging_korvane(ws, "tcp:" + where)
        connected = self.status_after(k, re.escape("COM2: connected to " + where), -1)
        self.status_after(k, r"Poll \d+ Data OK", connected)

        # The device server goes away mid-run, then comes back on its port.
        self.assertEqual(server.stop(), 0, server.describe())
        lost = self.status_after(k, re.escape("COM2: connection to %s lost; retrying in 1 s" % where),
                                 connected)
        self.server(port)
        back = self.status_after(k, re.escape("COM2: connected to " + where), lost)
        self.status_after(k, r"Poll \d+ Data OK", back)

        img = k.stop_and_load(self)
        self.assertEqual(img.registers(1, "holding", 1, 20), values.holding_registers()[:20])
        log = self.log_text(k)
        for line in ("COM2: connected to " + where,
                     "COM2: connection to %s lost; retrying in 1 s" % where):
            self.assertIn(line, log, "the diagnostic log reports the link")


class KorvaneSlaveOverTcp(TcpCase):

    def test_answers_one_client_after_another(self):
        holding = [4000 + n for n in range(1, 41)]
        ws = self.workspace("slave.txt", com=COM, addresses=(17, 2, 3, 4, 5),
                            tables={(1, "holding"): holding})
        k = self.logging_korvane(ws, "tcp-listen:127.0.0.1:0")
        line = k.wait_status(r"COM2: listening on 127\.0\.0\.1:\d+, waiting for a client")
        self.assertIsNotNone(line, k.describe())
        port = int(re.search(r":(\d+),", line).group(1))

        first = self.client(port)
        r = self.answer(first.read_holding_registers(0, 40, slave=17), "read holding")
        self.assertEqual(r.registers, holding)
        self.answer(first.write_register(9, 4321, slave=17), "write register")  # register 10
        # The first master drops its connection mid-run.
        first.close()
        gone = self.status_after(
            k, r"COM2: client 127\.0\.0\.1:\d+ disconnected; listening on 127\.0\.0\.1:%d, "
               r"waiting for the next client" % port, -1)

        second = self.client(port)
        self.status_after(k, r"COM2: client 127\.0\.0\.1:\d+ connected", gone)
        r = self.answer(second.read_holding_registers(9, 1, slave=17), "read back")
        self.assertEqual(r.registers, [4321], "the second client sees the first one's write")
        self.answer(second.write_registers(20, [7, 8, 9], slave=17), "write registers")  # 21..23
        second.close()

        img = k.stop_and_load(self)
        expected = list(holding)
        expected[9] = 4321
        expected[20:23] = [7, 8, 9]
        self.assertEqual(img.registers(1, "holding", 1, 40), expected)
        log = self.log_text(k)
        self.assertIn("COM2: listening on 127.0.0.1:%d, waiting for a client" % port, log)
        self.assertRegex(log, r"COM2: client 127\.0\.0\.1:\d+ disconnected; listening on")


if __name__ == "__main__":
    support.main()
