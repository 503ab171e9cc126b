#!/usr/bin/env python3
"""A scriptable POP3 server (RFC 1939: USER, PASS, STAT, TOP, QUIT; UIDL on request) for tests
and the demo.

It serves one mailbox, from a directory (one file per message, in name order; a Maildir's cur/
and new/ are read too) or generated (--count, senders from --sender templates), and can break
the dialogue on purpose at a chosen step:

    pop3_server.py --listen 127.0.0.1:110 --count 3 --fault pass=err --fault top2=split

Steps: greeting, user, pass, stat, uidl, top1, top2, ... (the k-th TOP of the session), quit.
Faults:
  close    close the connection instead of replying
  reset    reset the connection (RST) instead of replying
  silent   send nothing, keep the connection open
  err      answer -ERR and --err-text
  garbage  a line of bytes that is no POP3 reply
  nolf     1 MiB without a line feed, then nothing
  split    the reply in three sends, 100 ms apart
  merge    this reply and the reply to the next command in one send (the next command, when
           it comes, gets no answer of its own)
  nul      NUL bytes inside the reply, before its end
  nultail  the whole reply, then NUL bytes and junk in the same send
  fold     (TOP) the From: value folded onto a second line
  big      a reply over 4,096 bytes (TOP: long headers; others: a long status line)
  empty    (UIDL) "+OK" and the dot line: a listing of no message
  half     (UIDL) the first half of the listing, then the dot line
UIDL: --uidl none (the default) answers it -ERR, as a server without it; "message" gives each
message the SHA-1 of its bytes as its ID, "headers" the SHA-1 of its header block (as popa3d
does: two messages with the same header block share an ID), "long" an 80-character ID. With
--maildir the directory is read again at each connection, so a test can add mail between checks.
TLS: --tls CERT,KEY speaks TLS from the first byte; --stls CERT,KEY offers STLS. The step
"handshake" (with --tls) takes close, reset, silent and garbage in place of the handshake; the
step "stls" takes err.
--replies split writes every reply that has more than its status line (the replies to TOP) as
two writes, the status line and then the rest, with Nagle's algorithm on, as popa3d, GNU
mailutils' pop3d and Twisted do: the rest waits in the server's kernel until the client has
acknowledged the status line. --replies pieces writes such a reply as three: the status line,
then after 5 ms (time for the client to acknowledge it) the first half of the rest and at once
the second half, which waits in the server's kernel until the client has acknowledged the first
half: a later piece of a reply that the client must acknowledge without a command of its own.
The default, --replies one, writes each reply in one write with
TCP_NODELAY. --timing FILE appends, for every reply to TOP, "gap MS": the milliseconds from its
first write to the next command, and at QUIT "session MS" from the greeting on.
--faulty-sessions N applies the faults to the first N connections only; later ones are
healthy, so a test can check that the next check succeeds. Every command received is appended
to --log as one line, and "LISTENING host port" is printed once the socket is open.
stdlib only.
"""
import argparse
import asyncio
import hashlib
import os
import signal
import socket
import ssl
import struct
import sys
import time

FAULTS = ("close", "reset", "silent", "err", "garbage", "nolf", "split", "merge", "nul", "nultail",
          "fold", "big", "empty", "half")


def generated_message(n, sender, fold=False):
    if fold and "<" in sender:
        name, _, address = sender.partition("<")
        from_header = "From: " + name.rstrip() + "\r\n <" + address
    else:
        from_header = "From: " + sender
    lines = [
        f"Return-Path: <bounce{n}@example.net>",
        f"Received: from mx.example.net by pop.example.test; Mon, 07 Dec 2026 06:{n % 60:02d}:00 +0000",
        from_header,
        "To: kestova@example.test",
        f"Subject: Message {n}",
        "Date: Mon, 07 Dec 2026 06:26:09 +0000",
        f"Message-ID: <{n}.kestova@example.net>",
    ]
    body = f"Body of message {n}.\r\n.A line that starts with a dot.\r\n"
    return ("\r\n".join(lines) + "\r\n\r\n" + body).encode("utf-8")


def load_directory(path):
    names = []
    for sub in ("", "cur", "new"):
        folder = os.path.join(path, sub)
        if os.path.isdir(folder):
            names += [os.path.join(folder, n) for n in sorted(os.listdir(folder))
                      if os.path.isfile(os.path.join(folder, n))]
    messages = []
    for name in names:
        with open(name, "rb") as f:
            data = f.read()
        # Messages are kept with CR LF line ends, as they go on the wire.
        messages.append(data.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n"))
    return messages


def headers_of(message):
    end = message.find(b"\r\n\r\n")
    return message if end < 0 else message[:end + 2]


def dot_stuff(block):
    lines = block.split(b"\r\n")
    return b"\r\n".join(b"." + l if l.startswith(b".") else l for l in lines)


class Session:
    """One connection's dialogue."""

    def __init__(self, server, reader, writer, faulty):
        self.server = server
        self.reader = reader
        self.writer = writer
        self.faults = server.faults if faulty else {}
        self.authorized = False
        self.user = None
        self.tops = 0
        self.preanswered = 0  # commands already answered by a merged send
        self.started = time.monotonic()
        self.reply_sent = None  # when the last reply to TOP was first written, for --timing

    def log(self, line):
        if self.server.log:
            with open(self.server.log, "ab") as f:
                f.write(line + b"\n")

    # -- replies ---------------------------------------------------------------------------
    def normal_reply(self, step, argument=b""):
        s = self.server
        if step == "greeting":
            return b"+OK kestova test server ready\r\n"
        if step == "user":
            return b"+OK send your password\r\n"
        if step == "pass":
            if self.user == s.user and argument == s.password:
                return b"+OK logged in\r\n"
            return b"-ERR [AUTH] Authentication failed.\r\n"
        if step == "stat":
            return b"+OK %d %d\r\n" % (len(s.messages), sum(len(m) for m in s.messages))
        if step.startswith("top"):
            return self.top_reply(argument, fold=False)
        if step == "uidl":
            return self.uidl_reply()
        if step == "quit":
            return b"+OK bye\r\n"
        return b"-ERR unknown command\r\n"

    def uidl_reply(self):
        mode = self.server.uidl
        if mode == "none":
            return b"-ERR unknown command\r\n"
        lines = [b"+OK"]
        for n, message in enumerate(self.server.messages, 1):
            source = headers_of(message) if mode == "headers" else message
            uid = hashlib.sha1(source).hexdigest()
            if mode == "long":
                uid = (uid * 2)[:80]
            lines.append(b"%d %s" % (n, uid.encode()))
        return b"\r\n".join(lines) + b"\r\n.\r\n"

    def top_reply(self, argument, fold):
        parts = argument.split()
        try:
            n = int(parts[0])
            lines = int(parts[1])
        except (IndexError, ValueError):
            return b"-ERR usage: TOP msg n\r\n"
        if n < 1 or n > len(self.server.messages) or lines < 0:
            return b"-ERR no such message\r\n"
        message = self.server.messages[n - 1]
        if fold:
            message = generated_message(n, self.server.sender_for(n), fold=True)
        return b"+OK\r\n" + dot_stuff(headers_of(message)) + b"\r\n.\r\n"

    def faulty_reply(self, step, fault, argument):
        if fault == "err":
            return b"-ERR " + self.server.err_text + b"\r\n"
        if fault == "garbage":
            return b"\x8f\xa0 GARBAGE \x01\x7f~~ no reply here\r\n"
        if fault == "nul":
            normal = self.normal_reply(step, argument)
            return normal[:3] + b"\x00\x00 nul\x00" + normal[3:]
        if fault == "nultail":
            return self.normal_reply(step, argument) + b"\x00\x00junk after the reply\x00"
        if fault == "empty" and step == "uidl":
            return b"+OK\r\n.\r\n"
        if fault == "half" and step == "uidl":
            lines = self.uidl_reply().split(b"\r\n")
            kept = lines[:1 + (len(lines) - 3) // 2]
            return b"\r\n".join(kept) + b"\r\n.\r\n"
        if fault == "fold" and step.startswith("top"):
            return self.top_reply(argument, fold=True)
        if fault == "big":
            if step.startswith("top"):
                reply = self.top_reply(argument, fold=False)
                if reply.startswith(b"+OK\r\n"):
                    padding = b"".join(b"X-Padding-%03d: %s\r\n" % (i, b"p" * 60)
                                       for i in range(80))
                    reply = b"+OK\r\n" + padding + reply[5:]
                return reply
            normal = self.normal_reply(step, argument)
            return normal[:-2] + b" " + b"b" * 5000 + b"\r\n"
        return self.normal_reply(step, argument)

    def next_step(self, step):
        """The step the client's next command belongs to, for a merged send."""
        count = len(self.server.messages)
        order = {"greeting": ("user", b""), "user": ("pass", self.server.password)}
        if step in order:
            return order[step]
        if step == "pass":
            return ("stat", b"")
        if step == "stat":
            return ("top1", b"1 0") if count > 0 else ("quit", b"")
        if step.startswith("top"):
            k = int(step[3:])
            return (f"top{k + 1}", b"%d 0" % (k + 1)) if k < count else ("quit", b"")
        return (None, b"")

    # -- sending ---------------------------------------------------------------------------
    async def send(self, data):
        self.writer.write(data)
        await self.writer.drain()

    async def send_reply(self, reply):
        """A reply as the mode says: one write, or the status line and the rest in two."""
        status_end = reply.find(b"\r\n") + 2
        if self.server.replies == "split" and 1 < status_end < len(reply):
            await self.send(reply[:status_end])
            await self.send(reply[status_end:])
        elif self.server.replies == "pieces" and 1 < status_end < len(reply) - 1:
            await self.send(reply[:status_end])
            await asyncio.sleep(0.005)
            half = status_end + (len(reply) - status_end) // 2
            await self.send(reply[status_end:half])
            await self.send(reply[half:])
        else:
            await self.send(reply)

    def note_timing(self, line):
        if self.server.timing:
            with open(self.server.timing, "a") as f:
                f.write(line + "\n")

    async def answer(self, step, argument=b""):
        """Sends the reply of a step; False when the session is over."""
        if self.preanswered > 0:
            self.preanswered -= 1
            return step != "quit"
        fault = self.faults.get(step)
        if fault == "close":
            self.writer.close()
            return False
        if fault == "reset":
            sock = self.writer.get_extra_info("socket")
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            self.writer.transport.abort()
            return False
        if fault == "silent":
            await self.wait_for_close()
            return False
        if fault == "nolf":
            await self.send(b"+" + b"A" * (1024 * 1024 - 1))
            await self.wait_for_close()
            return False
        reply = self.faulty_reply(step, fault, argument) if fault else self.normal_reply(step, argument)
        if fault == "split":
            cuts = [0, max(1, len(reply) // 3), max(2, 2 * len(reply) // 3), len(reply)]
            for a, b in zip(cuts, cuts[1:]):
                if b > a:
                    await self.send(reply[a:b])
                    await asyncio.sleep(0.1)
        elif fault == "merge":
            following, following_argument = self.next_step(step)
            self.apply_state(step, argument, reply)
            if following is not None:
                extra = self.normal_reply(following, following_argument)
                self.apply_state(following, following_argument, extra)
                reply += extra
                self.preanswered += 1
            await self.send(reply)
            return step != "quit"
        else:
            if step.startswith("top"):
                self.reply_sent = time.monotonic()
            await self.send_reply(reply)
        self.apply_state(step, argument, reply)
        return step != "quit"

    def apply_state(self, step, argument, reply):
        if step == "pass" and reply.startswith(b"+OK"):
            self.authorized = True

    async def wait_for_close(self):
        try:
            while await self.reader.read(65536):
                pass
        except (ConnectionError, OSError):
            pass
        self.writer.close()

    # -- the dialogue ----------------------------------------------------------------------
    async def run(self):
        sock = self.writer.get_extra_info("socket")
        if sock is not None:
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY,
                            0 if self.server.split_replies else 1)
        if not await self.answer("greeting"):
            return
        while True:
            try:
                line = await self.reader.readline()
            except (ConnectionError, OSError):
                return
            if not line:
                return
            if self.reply_sent is not None:
                self.note_timing("gap %.3f" % ((time.monotonic() - self.reply_sent) * 1000))
                self.reply_sent = None
            self.log(line.rstrip(b"\r\n"))
            command, _, argument = line.rstrip(b"\r\n").partition(b" ")
            command = command.upper()
            if command == b"USER":
                self.user = argument
                step = "user"
            elif command == b"PASS":
                step = "pass"
            elif command == b"STAT" and self.authorized:
                step = "stat"
            elif command == b"UIDL" and self.authorized and not argument:
                step = "uidl"
            elif command == b"TOP" and self.authorized:
                self.tops += 1
                step = f"top{self.tops}"
            elif command == b"STLS":
                await self.start_tls()
                continue
            elif command == b"QUIT":
                self.note_timing("session %.3f" % ((time.monotonic() - self.started) * 1000))
                step = "quit"
            else:
                await self.send(b"-ERR unknown command\r\n")
                continue
            if not await self.answer(step, argument):
                if step == "quit" and not self.writer.is_closing():
                    self.writer.close()
                return


    async def start_tls(self):
        context = self.server.stls_context
        if context is None or self.faults.get("stls") == "err":
            await self.send(b"-ERR TLS not available\r\n")
            return
        await self.send(b"+OK Begin TLS negotiation now.\r\n")
        await self.writer.start_tls(context)

    async def handshake(self):
        """TLS from the first byte, or the handshake's fault; False when the session is over."""
        fault = self.faults.get("handshake")
        if fault == "garbage":
            await self.send(b"\x8f\xa0 GARBAGE \x01\x7f~~ no TLS here\r\n")
            await self.wait_for_close()
            return False
        if fault in ("close", "reset", "silent"):
            await self.answer("handshake")
            return False
        try:
            await self.writer.start_tls(self.server.tls_context)
        except (ConnectionError, OSError, ssl.SSLError):
            return False
        return True


def tls_context(pair):
    if not pair:
        return None
    cert, _, key = pair.partition(",")
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    return context


class Server:
    def __init__(self, args):
        self.user = args.user.encode()
        self.password = args.password.encode()
        self.senders = args.sender or ["Sender {n} <sender{n}@example.com>"]
        self.log = args.log
        self.faults = {}
        for item in args.fault or []:
            step, _, fault = item.partition("=")
            if fault not in FAULTS:
                raise SystemExit(f"unknown fault {fault!r}; known: {', '.join(FAULTS)}")
            self.faults[step.lower()] = fault
        self.faulty_sessions = args.faulty_sessions
        self.tls_context = tls_context(args.tls)
        self.stls_context = tls_context(args.stls)
        self.err_text = args.err_text.encode()
        self.replies = args.replies
        self.split_replies = args.replies != "one"  # Nagle's algorithm on
        self.timing = args.timing
        self.sessions = 0
        self.uidl = args.uidl
        self.maildir = args.maildir
        if args.maildir:
            self.messages = load_directory(args.maildir)
        else:
            self.messages = [generated_message(n, self.sender_for(n)) for n in range(1, args.count + 1)]

    def sender_for(self, n):
        return self.senders[(n - 1) % len(self.senders)].replace("{n}", str(n))

    async def handle(self, reader, writer):
        self.sessions += 1
        if self.maildir:
            self.messages = load_directory(self.maildir)
        faulty = self.faulty_sessions < 0 or self.sessions <= self.faulty_sessions
        try:
            session = Session(self, reader, writer, faulty)
            if self.tls_context is None or await session.handshake():
                await session.run()
        except (ConnectionError, OSError):
            pass
        finally:
            if not writer.is_closing():
                writer.close()


async def main_async(args):
    server = Server(args)
    host, _, port = args.listen.rpartition(":")
    listener = await asyncio.start_server(server.handle, host or "127.0.0.1", int(port),
                                          reuse_address=True)
    bound = listener.sockets[0].getsockname()
    print(f"LISTENING {bound[0]} {bound[1]}", flush=True)
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)
    async with listener:
        await stop.wait()


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--listen", default="127.0.0.1:110", help="host:port (port 0: any)")
    parser.add_argument("--user", default="kestova")
    parser.add_argument("--password", default="secret")
    parser.add_argument("--maildir", help="directory of messages, one per file")
    parser.add_argument("--count", type=int, default=3, help="generated messages")
    parser.add_argument("--uidl", choices=("none", "message", "headers", "long"), default="none",
                        help="UIDL: none (-ERR), or the IDs by message, header block or 80 long")
    parser.add_argument("--sender", action="append",
                        help="From: value of generated messages; {n} is the number; repeat to cycle")
    parser.add_argument("--fault", action="append", help="STEP=FAULT, e.g. pass=err, top2=split")
    parser.add_argument("--faulty-sessions", type=int, default=-1,
                        help="faults only in the first N connections (default: all)")
    parser.add_argument("--log", help="append every received command to this file")
    parser.add_argument("--tls", help="CERT,KEY: TLS from the first byte")
    parser.add_argument("--stls", help="CERT,KEY: offer STLS")
    parser.add_argument("--err-text", default="scripted failure",
                        help="what follows -ERR in the reply of an err fault")
    parser.add_argument("--replies", choices=("one", "split", "pieces"), default="one",
                        help="split: status line and rest of a reply in two writes, Nagle on; "
                             "pieces: status line, then the rest in two halves")
    parser.add_argument("--timing", help="append reply gaps and session times (ms) to this file")
    args = parser.parse_args(argv)
    try:
        asyncio.run(main_async(args))
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
