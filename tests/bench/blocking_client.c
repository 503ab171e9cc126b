/* The floor a whole running program is measured against: the smallest client that makes the
 * program's check, in plain C with a blocking socket. It sends what the program sends (USER,
 * PASS, STAT, TOP n 0 for the first 255 messages, QUIT), reads each reply to its end and keeps
 * nothing of it; no trace, no resolver (the server is a dotted address), no event loop.
 *
 *   blocking_client ADDRESS PORT USER PASSWORD
 *   blocking_client_tls ADDRESS PORT USER PASSWORD      (TLS from the first byte, OpenSSL;
 *                                                        the certificate verified against the
 *                                                        default trust store, SSL_CERT_FILE)
 *
 * It makes one check for each line on standard input and answers each with one line on
 * standard output, "N messages" or "failed", so a benchmark drives it as it drives the program
 * (a key, then the status line). */
#define _GNU_SOURCE /* memmem */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>
#ifdef KC_BLOCKING_TLS
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#endif

static char buffer[65536];
static size_t used;
static int fd = -1;
#ifdef KC_BLOCKING_TLS
static SSL_CTX* context;
static SSL* ssl;
#endif

static int Send(const char* bytes, size_t length) {
  while (length > 0) {
#ifdef KC_BLOCKING_TLS
    int sent = SSL_write(ssl, bytes, (int)length);
#else
    ssize_t sent = send(fd, bytes, length, MSG_NOSIGNAL);
#endif
    if (sent <= 0) return 0;
    bytes += sent;
    length -= (size_t)sent;
  }
  return 1;
}

/* Sends command (when given) and reads the reply up to terminator (a negative reply is one
 * line); 1 for a positive reply, 0 for a negative one, -1 on error. The reply stays at the
 * start of the buffer until the next exchange. */
static size_t replyLength;
static int Exchange(const char* command, const char* terminator) {
  if (replyLength > 0) {
    memmove(buffer, buffer + replyLength, used - replyLength);
    used -= replyLength;
    replyLength = 0;
  }
  if (command != NULL && !Send(command, strlen(command))) return -1;
  for (;;) {
    if (used > 0) {
      const char* end = buffer[0] == '-' ? "\n" : terminator;
      char* found = memmem(buffer, used, end, strlen(end));
      if (found != NULL) {
        replyLength = (size_t)(found - buffer) + strlen(end);
        return buffer[0] == '+';
      }
    }
    if (used == sizeof buffer) return -1;
#ifdef KC_BLOCKING_TLS
    int n = SSL_read(ssl, buffer + used, (int)(sizeof buffer - used));
#else
    ssize_t n = recv(fd, buffer + used, sizeof buffer - used, 0);
#endif
    if (n <= 0) return -1;
    used += (size_t)n;
  }
}

static void Close(void) {
#ifdef KC_BLOCKING_TLS
  if (ssl != NULL) {
    SSL_shutdown(ssl);
    SSL_free(ssl);
    ssl = NULL;
  }
#endif
  if (fd >= 0) close(fd);
  fd = -1;
  used = 0;
  replyLength = 0;
}

static long Check(const char* address, int port, const char* user, const char* password) {
  struct sockaddr_in to;
  memset(&to, 0, sizeof to);
  to.sin_family = AF_INET;
  to.sin_port = htons((unsigned short)port);
  if (inet_pton(AF_INET, address, &to.sin_addr) != 1) return -1;
  fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || connect(fd, (struct sockaddr*)&to, sizeof to) != 0) return -1;
#ifdef KC_BLOCKING_TLS
  ssl = SSL_new(context);
  if (ssl == NULL || SSL_set_fd(ssl, fd) != 1 ||
      X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), address) != 1 || SSL_connect(ssl) != 1) {
    return -1;
  }
#endif
  char command[256];
  long count = 0, size = 0;
  if (Exchange(NULL, "\n") != 1) return -1;
  snprintf(command, sizeof command, "USER %s\r\n", user);
  if (Exchange(command, "\n") != 1) return -1;
  snprintf(command, sizeof command, "PASS %s\r\n", password);
  if (Exchange(command, "\n") != 1) return -1;
  if (Exchange("STAT\r\n", "\n") != 1 || sscanf(buffer, "+OK %ld %ld", &count, &size) != 2) {
    return -1;
  }
  for (long i = 1; i <= count && i <= 255; ++i) {
    snprintf(command, sizeof command, "TOP %ld 0\r\n", i);
    if (Exchange(command, "\r\n.\r\n") != 1) return -1;
  }
  if (Exchange("QUIT\r\n", "\n") != 1) return -1;
  return count;
}

int main(int argc, char** argv) {
  if (argc != 5) {
    fprintf(stderr, "usage: %s ADDRESS PORT USER PASSWORD\n", argv[0]);
    return 2;
  }
#ifdef KC_BLOCKING_TLS
  context = SSL_CTX_new(TLS_client_method());
  if (context == NULL) return 1;
  SSL_CTX_set_verify(context, SSL_VERIFY_PEER, NULL);
  SSL_CTX_set_default_verify_paths(context);
#endif
  char line[64];
  while (fgets(line, sizeof line, stdin) != NULL) {
    long count = Check(argv[1], atoi(argv[2]), argv[3], argv[4]);
    Close();
    if (count < 0) {
      fputs("failed\n", stdout);
    } else {
      printf("%ld messages\n", count);
    }
    fflush(stdout);
  }
  return 0;
}
