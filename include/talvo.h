/*
 * libtalvo: the native half of the Talvo application server.
 *
 * What a native module that plugs in its own connection operations needs:
 * the connection and listening-socket records, the operation table and the
 * plain TCP one, the allocator and the exception helpers.  Everything here
 * has C linkage, and every function declared here is exported.
 */
#ifndef TALVO_H
#define TALVO_H

#include <jni.h>
#include <pthread.h>

#ifdef __cplusplus
extern "C" {
#endif

#define TALVO_EXPORT __attribute__((visibility("default")))

/* Operation results of the blocking read and write, and of the calls that
 * never wait (WOULD_BLOCK). */
enum {
    TALVO_ERROR = -1,     /* null record, closed record or a plain failure */
    TALVO_WOULD_BLOCK = -2, /* nothing can move now: the calls that never wait only */
    TALVO_PEER_GONE = -3, /* EPIPE, ECONNRESET or endless EINTR: writes only */
    TALVO_TIMEOUT = -4    /* the socket's receive or send time-out expired */
};

typedef struct connection_t connection_t;
typedef struct server_socket_t server_socket_t;

typedef struct connection_ops_t {
    int (*read)(connection_t *conn, char *buf, int len);
    int (*read_nonblock)(connection_t *conn, char *buf, int len);
    int (*write)(connection_t *conn, const char *buf, int len);
    int (*write_nonblock)(connection_t *conn, const char *buf, int len);
    int (*close)(connection_t *conn);
    int (*read_client_certificate)(connection_t *conn, char *buffer, int length);
} connection_ops_t;

/* Configuration of a secure listening socket: never created here. */
typedef struct ssl_config_t {
    JNIEnv *jni_env;
    char *certificate_file;
    char *key_file;
    char *certificate_chain_file;
    char *ca_certificate_path;
    char *ca_certificate_file;
    char *ca_revocation_path;
    char *ca_revocation_file;
    char *password;
    char *crypto_device;
    int alg_flags;
    int enable_session_cache;
    int session_cache_timeout;
    int unclean_shutdown;
    int verify_client;
    int verify_depth;
    char *cipher_suite;
    void *crl;
    pthread_mutex_t ssl_lock;
} ssl_config_t;

struct connection_t {
    server_socket_t *ss;
    int id;
    JNIEnv *jni_env;
    void *context;
    const connection_ops_t *ops;
    int fd; /* -1 before accept and after close */
    int is_init;
    void *sock;
    pthread_mutex_t *ssl_lock;
    int read_timeout;
    int write_timeout;
    int sent_data;
    char server_data[128];
    struct sockaddr *server_sin; /* points at server_data */
    char client_data[128];
    struct sockaddr *client_sin; /* points at client_data */
    char *ssl_cipher;
    int ssl_bits;
};

struct server_socket_t {
    ssl_config_t *ssl_config;
    int conn_read_timeout;  /* ms, given to every accepted connection */
    int conn_write_timeout; /* ms */
    int fd;                 /* -1 once std_close_ss has begun */
    int port;               /* as asked for at bind time */
    pthread_mutex_t ssl_lock;
    pthread_mutex_t accept_lock;
    int verify_client;
    void *context;
    int (*accept)(server_socket_t *ss, connection_t *conn);
    void (*close)(server_socket_t *ss);
    int server_index;
    /* Threads inside std_accept; std_close_ss returns only once it is 0, so
     * the record may be freed right after.  Accessed atomically only. */
    int accept_threads;
};

/* Size-class allocator. */
typedef struct chunk_t {
    int bucket;
    struct chunk_t *next;
} chunk_t;

TALVO_EXPORT void *tuk_malloc(int size);
TALVO_EXPORT void tuk_free(void *v_data);

/* Raising Java exceptions; when that is not possible the message goes to
 * standard error as one line. */
TALVO_EXPORT void talvo_throw_exception(JNIEnv *env, const char *cl, const char *buf);
TALVO_EXPORT void talvo_printf_exception(JNIEnv *env, const char *cl, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));
TALVO_EXPORT void tuk_log(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

/* Plain TCP operations. */
TALVO_EXPORT extern const connection_ops_t std_ops;
TALVO_EXPORT int conn_close(connection_t *conn);
TALVO_EXPORT int std_accept(server_socket_t *ss, connection_t *conn);
TALVO_EXPORT void std_close_ss(server_socket_t *ss);

#ifdef __cplusplus
}
#endif

#endif
