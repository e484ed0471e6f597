#!/usr/bin/env python3
"""Peers for a scripted application run (tools/sanitizerAppRun.sh thread): sources that
keep re-shaping the devices reading them, written from the protocol descriptions.

- A VRPN server on 127.0.0.1:<vrpn-port> (clients connect with tcp://): every
  connection hears the tracker "Tracker0", whose sensors appear one more every
  --sensor-every seconds (up to --sensors), and the analog "Analog0", whose channel
  count cycles 1..8, each count held --analog-every seconds. Reports every 10 ms.
- An OSC source sending "/data" with 1..6 float values, the count cycling every
  --osc-every seconds, to 127.0.0.1:<osc-port> every 10 ms.
Runs until --seconds have passed or it is killed.
"""
import argparse
import socket
import struct
import threading
import time

COOKIE = b"vrpn: ver. 07.38  0\0\0\0\0\0"
TRACKER, ANALOG = 0, 1  # our sender ids
POS_QUAT, ANALOG_CHANNEL = 0, 1  # our type ids


def message(sender, kind, payload):
    now = time.time()
    header = struct.pack(">IiiiiI", 24 + len(payload), int(now), int((now % 1) * 1e6), sender,
                         kind, 0)
    return header + payload + b"\0" * (-len(payload) % 8)


def description(kind, number, name):
    text = name.encode() + b"\0"
    return message(number, kind, struct.pack(">I", len(text)) + text)


def serve(connection, args, start, stop):
    try:
        connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        connection.sendall(COOKIE)
        got = b""
        while len(got) < 24:
            part = connection.recv(24 - len(got))
            if not part:
                return
            got += part
        connection.sendall(description(-1, TRACKER, "Tracker0") + description(-1, ANALOG, "Analog0") +
                           description(-2, POS_QUAT, "vrpn_Tracker Pos_Quat") +
                           description(-2, ANALOG_CHANNEL, "vrpn_Analog Channel"))
        connection.setblocking(False)
        frame = 0
        while not stop.is_set():
            try:
                while connection.recv(65536):
                    pass  # the client's own messages: not needed here
            except BlockingIOError:
                pass
            elapsed = time.monotonic() - start
            sensors = min(args.sensors, 1 + int(elapsed / args.sensor_every))
            channels = 1 + int(elapsed / args.analog_every) % 8
            out = b""
            for sensor in range(sensors):
                out += message(TRACKER, POS_QUAT,
                               struct.pack(">ii7d", sensor, sensor, sensor, frame * 1e-3, 0.0,
                                           0.0, 0.0, 0.0, 1.0))
            out += message(ANALOG, ANALOG_CHANNEL,
                           struct.pack(">%dd" % (channels + 1), channels,
                                       *[frame + c / 10 for c in range(channels)]))
            connection.sendall(out)
            frame += 1
            time.sleep(0.01)
    except OSError:
        pass  # the client went away
    finally:
        connection.close()


def osc_float_message(address, values):
    def padded(data):
        data += b"\0"
        return data + b"\0" * (-len(data) % 4)
    return (padded(address.encode()) + padded(b"," + b"f" * len(values)) +
            b"".join(struct.pack(">f", v) for v in values))


def send_osc(args, start, stop):
    out = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    frame = 0
    while not stop.is_set():
        count = 1 + int((time.monotonic() - start) / args.osc_every) % 6
        try:
            out.sendto(osc_float_message("/data", [frame + c / 10 for c in range(count)]),
                       ("127.0.0.1", args.osc_port))
        except OSError:
            pass  # nobody listens yet
        frame += 1
        time.sleep(0.01)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--vrpn-port", type=int, default=3999)
    parser.add_argument("--osc-port", type=int, default=1200)
    parser.add_argument("--sensors", type=int, default=200)
    parser.add_argument("--sensor-every", type=float, default=0.5)
    parser.add_argument("--analog-every", type=float, default=0.4)
    parser.add_argument("--osc-every", type=float, default=0.3)
    parser.add_argument("--seconds", type=float, default=3600)
    args = parser.parse_args()
    start = time.monotonic()
    stop = threading.Event()
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", args.vrpn_port))
    listener.listen(8)
    listener.settimeout(0.5)
    threading.Thread(target=send_osc, args=(args, start, stop), daemon=True).start()
    while time.monotonic() - start < args.seconds:
        try:
            connection, _ = listener.accept()
        except socket.timeout:
            continue
        threading.Thread(target=serve, args=(connection, args, start, stop), daemon=True).start()
    stop.set()


if __name__ == "__main__":
    main()
