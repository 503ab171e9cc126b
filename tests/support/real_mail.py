"""A mailbox of realistic messages for the end-to-end suites: what large providers and stored
mail really send before and around the From: line.

    for m in real_mail.MESSAGES: m.data (CR LF lines), m.sender (what the display must show),
    m.from_text (the From: text the trace shows), m.stored_crlf (the file itself holds CR LF
    line ends, so servers that add a CR to every line send CR CR LF).

stdlib only.
"""

# Header lines as large providers put them before From:, several folded over continuation lines.
_PROVIDER = [
    "Received: from mail-sor-f41.google.com (mail-sor-f41.google.com. [209.85.220.41])\r\n"
    "        by mx.kc.jp with SMTPS id a640c23a62f3a-a9a0f2b4f81sor1234567166b.9.2026.12.10\r\n"
    "        for <kestova@kc.jp>; Thu, 10 Dec 2026 04:12:33 -0800 (PST)\r\n",
    "ARC-Seal: i=1; a=rsa-sha256; t=1796891553; cv=none; d=google.com; s=arc-20240605;\r\n"
    "        b=Jq3mH1fVnq2t0Yc8xN0aX1rLq2d7ZP5u6mSx0S1r2VtQmI1z9hJ0kqf8w0Fj3bXc9Lr\r\n"
    "         kq0M2mZcA8b5Xr4oW7l6mUe5pT3xG0yN2vK3hB8bWq1sR7eU4aF6tY9dQ2cZ0jL8nH5g\r\n"
    "         f3Qy9wX2kP7mB4vR1tN6hL0cS8jA5dE2uG9iK3oF7zT4xW1yV6bM8nQ0rJ5pC2lH==\r\n",
    "ARC-Message-Signature: i=1; a=rsa-sha256; c=relaxed/relaxed; d=google.com;\r\n"
    "        s=arc-20240605; h=to:subject:message-id:date:from:mime-version\r\n"
    "         :dkim-signature; bh=47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU=;\r\n"
    "        b=Xc7Lr2mQ9wB4kT1vN6hF0sD8jA3eG5uK2oI7zP4xW9yR1bM6nC0lJ5tH8qV3fS2d\r\n"
    "         Z6aE1gU4iO7kY0pL3mN8bR5tW2xQ9vC6jF1hD4sA7zG0eK3uI6oP9yT2lM5nB8rX1w==\r\n",
    "DKIM-Signature: v=1; a=rsa-sha256; c=relaxed/relaxed; d=gmail.com; s=20230601;\r\n"
    "        t=1796891553; x=1797496353; darn=kc.jp;\r\n"
    "        h=to:subject:message-id:date:from:mime-version:from:to:cc:subject\r\n"
    "         :date:message-id:reply-to;\r\n"
    "        bh=47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU=;\r\n"
    "        b=mT4kR9wL2xB7nV0cQ5hJ8sF3dA6gE1uK4oI9zP2yW7tR0bM5nC8lX3jH6qS1fD4v\r\n"
    "         A9eG2uK5oI8zP1xW4yR7bM0nC3lJ6tH9qV2fS5dZ8aE1gU4iO7kY0pL3mN6bR9tW2x==\r\n",
    "Authentication-Results: mx.kc.jp; dkim=pass header.d=gmail.com;\r\n"
    "        spf=pass (kc.jp: domain of big@gmail.com designates 209.85.220.41\r\n"
    "        as permitted sender) smtp.mailfrom=big@gmail.com; dmarc=pass\r\n",
]


def provider_headers(size):
    """At least `size` bytes of provider header lines, each complete."""
    out = ""
    i = 0
    while len(out) < size:
        out += _PROVIDER[i % len(_PROVIDER)]
        i += 1
    return out


class Message:
    def __init__(self, headers, sender, from_text, stored_crlf=False):
        body = "Hello.\r\n"
        self.data = (headers + "To: kestova@kc.jp\r\nSubject: Test\r\n"
                     "Date: Thu, 10 Dec 2026 06:26:09 +0000\r\n\r\n" + body).encode("latin-1")
        self.sender = sender
        self.from_text = from_text.encode("latin-1")
        self.stored_crlf = stored_crlf


MESSAGES = [
    Message("From: Sender One <one@kc.jp>\r\n", "one@kc.jp", "Sender One <one@kc.jp>\r\n"),
    Message(provider_headers(6 * 1024) + "From: Six Kay <six@kc.jp>\r\n", "six@kc.jp",
            "Six Kay <six@kc.jp>\r\n"),
    Message(provider_headers(40 * 1024) + "From: \"Forty, Kay\"\r\n <forty@kc.jp>\r\n",
            "forty@kc.jp", "\"Forty, Kay\"\r\n <forty@kc.jp>\r\n"),
    Message("Received: by mx.kc.jp\r\nFROM: CAPS@KC.JP\r\n", "CAPS@KC.JP", "CAPS@KC.JP\r\n"),
    Message("From:<nb@kc.jp>\r\nMessage-ID:<m1@kc.jp>\r\n", "nb@kc.jp", "<nb@kc.jp>\r\n"),
    Message("Received: by mx.kc.jp\r\nFrom: Crlf <cr@kc.jp>\r\n", "cr@kc.jp",
            "Crlf <cr@kc.jp>\r\n", stored_crlf=True),
    Message("X-Junk: a\x00b\r\nFrom: nul@kc.jp\r\n", "nul@kc.jp", "nul@kc.jp\r\n"),
]
