/* floor_split: the smallest splitter that does the same file work as
 * `vexlor.split` with default options, used as the floor of the machine in
 * the benchmark (run_bench.py compiles it with `cc -O2` and runs it in every
 * round next to `cat`).
 *
 *     floor_split {session|host} INPUT OUTDIR
 *
 * INPUT must be a classic little-endian microsecond pcap of Ethernet frames
 * (what gen_capture.py writes): its records are then already in output form
 * and are copied as they stand.  The file work is vexlor's:
 *  - one file per flow, `<input stem>_<flow name>.pcap`, written under the
 *    hidden name `.<name>.tmp`, created at the flow's first packet and
 *    renamed at the end;
 *  - session: one flow per protocol and unordered pair of (address, port);
 *    host: every packet goes to the file of its source and of its
 *    destination (once if they are the same host);
 *  - a write buffer of 10,000 bytes per flow (records that long or longer go
 *    straight out), at most 10,000 files open at once: the least recently
 *    used descriptor is closed, and a flow reopens its file for appending
 *    only when it has a buffer to write.
 * Non-IP frames are skipped (the generated inputs have none).  Any failure:
 * a message and exit status 1.
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

enum { BUF_BYTES = 10000, MAX_OPEN = 10000, NIL = -1 };

/* Zeroed before use, so bytewise equality is equality of the used fields. */
typedef struct {
    uint8_t proto, fam_a, fam_b, pad;
    uint16_t port_a, port_b;
    uint8_t a[16], b[16];
} Key;

typedef struct {
    Key key;
    uint64_t hash;
    uint8_t *buf;
    uint32_t len;
    int fd;              /* -1 while closed */
    int32_t prev, next;  /* the LRU list of open descriptors */
    char *name, *tmp;    /* final and temporary file names */
} Flow;

static Flow *flows;
static int32_t nflows, cap_flows;
static int32_t *slots; /* open addressing: flow index + 1, 0 = empty */
static uint64_t nslots;
static int32_t lru_head = NIL, lru_tail = NIL, nopen;
static int dir_fd;
static const char *prefix;
static int by_host;

static void die(const char *what) {
    perror(what);
    exit(1);
}

static uint64_t hash_key(const Key *k) {
    uint64_t w[5], h = 0x9E3779B97F4A7C15ull;
    memcpy(w, k, sizeof w);
    for (int i = 0; i < 5; i++) {
        h = (h ^ w[i]) * 0xBF58476D1CE4E5B9ull;
        h ^= h >> 31;
    }
    return h;
}

/* ------------------------------------------------------------ descriptors */

static void lru_unlink(int32_t i) {
    Flow *f = &flows[i];
    if (f->prev != NIL) flows[f->prev].next = f->next; else lru_head = f->next;
    if (f->next != NIL) flows[f->next].prev = f->prev; else lru_tail = f->prev;
}

static void lru_push(int32_t i) { /* as the most recently used */
    Flow *f = &flows[i];
    f->prev = lru_tail;
    f->next = NIL;
    if (lru_tail != NIL) flows[lru_tail].next = i; else lru_head = i;
    lru_tail = i;
}

static void close_least_recent(void) {
    int32_t i = lru_head;
    lru_unlink(i);
    if (close(flows[i].fd) != 0) die("close");
    flows[i].fd = -1;
    nopen--;
}

/* Opens the flow's temporary file (created at the first open), closing the
 * least recently used descriptor when the cap or the system says so. */
static void open_flow(int32_t i, int create) {
    const char *tmp = flows[i].tmp;
    if (nopen >= MAX_OPEN) close_least_recent();
    int flags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC | (create ? O_CREAT | O_TRUNC : 0);
    int fd;
    while ((fd = openat(dir_fd, tmp, flags, 0666)) < 0) {
        if (errno == EINTR) continue;
        if ((errno == EMFILE || errno == ENFILE) && nopen > 0) {
            close_least_recent();
            continue;
        }
        die(tmp);
    }
    flows[i].fd = fd;
    nopen++;
    lru_push(i);
}

static void write_all(int fd, const uint8_t *p, size_t n) {
    while (n > 0) {
        ssize_t k = write(fd, p, n);
        if (k < 0) {
            if (errno == EINTR) continue;
            die("write");
        }
        p += k;
        n -= (size_t)k;
    }
}

static void write_out(int32_t i, const uint8_t *p, size_t n) {
    if (flows[i].fd < 0) {
        open_flow(i, 0);
    } else if (lru_tail != i) {
        lru_unlink(i);
        lru_push(i);
    }
    write_all(flows[i].fd, p, n);
}

static void flush(int32_t i) {
    if (flows[i].len > 0) write_out(i, flows[i].buf, flows[i].len);
    flows[i].len = 0;
}

static void append(int32_t i, const uint8_t *p, size_t n) {
    Flow *f = &flows[i];
    if (f->len + n > BUF_BYTES) {
        flush(i);
        if (n >= BUF_BYTES) {
            write_out(i, p, n);
            return;
        }
    }
    memcpy(f->buf + f->len, p, n);
    f->len += (uint32_t)n;
}

/* ------------------------------------------------------------ flows */

static void name_flow(Flow *f) {
    char a[INET6_ADDRSTRLEN], b[INET6_ADDRSTRLEN], text[256];
    const Key *k = &f->key;
    inet_ntop(k->fam_a == 4 ? AF_INET : AF_INET6, k->a, a, sizeof a);
    if (by_host) {
        snprintf(text, sizeof text, "%s", a);
    } else {
        inet_ntop(k->fam_b == 4 ? AF_INET : AF_INET6, k->b, b, sizeof b);
        snprintf(text, sizeof text, "%u_%s_%s_%u_%u", k->proto, a, b, k->port_a, k->port_b);
    }
    /* The address texts of distinct keys stay distinct after this. */
    for (char *c = text; *c; c++)
        if (*c == '.' || *c == ':') *c = '_';
    if (asprintf(&f->name, "%s_%s.pcap", prefix, text) < 0 ||
        asprintf(&f->tmp, ".%s.tmp", f->name) < 0)
        die("asprintf");
}

static void grow_table(void) {
    uint64_t n = nslots ? nslots * 2 : 1024;
    int32_t *s = calloc(n, sizeof *s);
    if (!s) die("calloc");
    for (int32_t i = 0; i < nflows; i++) {
        uint64_t j = flows[i].hash & (n - 1);
        while (s[j]) j = (j + 1) & (n - 1);
        s[j] = i + 1;
    }
    free(slots);
    slots = s;
    nslots = n;
}

static const uint8_t pcap_header[24] = {0xd4, 0xc3, 0xb2, 0xa1, 2, 0, 4, 0, 0, 0, 0, 0,
                                        0,    0,    0,    0,    0xff, 0xff, 0, 0, 1, 0, 0, 0};

/* The flow of `k`, created (file, buffer, header) when first met. */
static int32_t flow_of(const Key *k) {
    uint64_t h = hash_key(k);
    uint64_t j = h & (nslots - 1);
    for (int32_t s; (s = slots[j]) != 0; j = (j + 1) & (nslots - 1)) {
        if (flows[s - 1].hash == h && memcmp(&flows[s - 1].key, k, sizeof *k) == 0) return s - 1;
    }
    if (nflows == cap_flows) {
        cap_flows = cap_flows ? cap_flows * 2 : 1024;
        flows = realloc(flows, (size_t)cap_flows * sizeof *flows);
        if (!flows) die("realloc");
    }
    int32_t i = nflows++;
    Flow *f = &flows[i];
    memset(f, 0, sizeof *f);
    f->key = *k;
    f->hash = h;
    f->fd = -1;
    f->buf = malloc(BUF_BYTES);
    if (!f->buf) die("malloc");
    name_flow(f);
    slots[j] = i + 1;
    if ((uint64_t)nflows * 2 > nslots) grow_table();
    open_flow(i, 1);
    append(i, pcap_header, sizeof pcap_header);
    return i;
}

/* ------------------------------------------------------------ packets */

static uint16_t be16(const uint8_t *p) { return (uint16_t)(p[0] << 8 | p[1]); }

/* Fills src and dst (zeroed) with the address, port and protocol of an IP
 * frame; 0 when the frame is not one. */
static int dissect(const uint8_t *p, size_t n, Key *src, Key *dst) {
    if (n < 14) return 0;
    size_t d = 14;
    uint16_t type = be16(p + 12);
    if (type == 0x8100) {
        if (n < 18) return 0;
        type = be16(p + 16);
        d = 18;
    }
    if ((type != 0x0800 && type != 0x86DD) || n <= d) return 0;
    p += d;
    n -= d;
    size_t l4;
    if (p[0] >> 4 == 4) {
        l4 = (size_t)(p[0] & 15) * 4;
        if (n < 20 || l4 < 20 || n < l4) return 0;
        src->fam_a = dst->fam_a = 4;
        src->proto = p[9];
        memcpy(src->a, p + 12, 4);
        memcpy(dst->a, p + 16, 4);
    } else if (p[0] >> 4 == 6) {
        if (n < 40) return 0;
        l4 = 40;
        src->fam_a = dst->fam_a = 6;
        src->proto = p[6];
        memcpy(src->a, p + 8, 16);
        memcpy(dst->a, p + 24, 16);
    } else {
        return 0;
    }
    dst->proto = src->proto;
    if ((src->proto == 6 || src->proto == 17) && l4 + 4 <= n) {
        src->port_a = be16(p + l4);
        dst->port_a = be16(p + l4 + 2);
    }
    return 1;
}

/* Both directions of a session give one key: the lower endpoint (IPv4
 * below IPv6, then the address bytes, then the port) goes first. */
static void session_key(const Key *s, const Key *d, Key *k) {
    int c = s->fam_a != d->fam_a ? (s->fam_a < d->fam_a ? -1 : 1) : memcmp(s->a, d->a, 16);
    if (c > 0 || (c == 0 && s->port_a >= d->port_a)) {
        const Key *t = s;
        s = d;
        d = t;
    }
    k->proto = s->proto;
    k->fam_a = s->fam_a;
    k->fam_b = d->fam_a;
    k->port_a = s->port_a;
    k->port_b = d->port_a;
    memcpy(k->a, s->a, 16);
    memcpy(k->b, d->a, 16);
}

int main(int argc, char **argv) {
    if (argc != 4 || (strcmp(argv[1], "session") != 0 && strcmp(argv[1], "host") != 0)) {
        fprintf(stderr, "usage: floor_split {session|host} INPUT OUTDIR\n");
        return 2;
    }
    by_host = strcmp(argv[1], "host") == 0;
    /* The stem of the input's file name, as vexlor names its outputs. */
    const char *base = strrchr(argv[2], '/') ? strrchr(argv[2], '/') + 1 : argv[2];
    char *stem = strdup(base), *dot = strrchr(stem, '.');
    if (dot && dot != stem) *dot = 0;
    prefix = stem;

    /* The benchmark's vexlor worker raises the descriptor limit the same way. */
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
    }

    int in = open(argv[2], O_RDONLY | O_CLOEXEC);
    if (in < 0) die(argv[2]);
    struct stat st;
    if (fstat(in, &st) != 0) die("fstat");
    size_t size = (size_t)st.st_size;
    if (size < 24) {
        fprintf(stderr, "%s: not a pcap file\n", argv[2]);
        return 1;
    }
    const uint8_t *m = mmap(NULL, size, PROT_READ, MAP_PRIVATE, in, 0);
    if (m == MAP_FAILED) die("mmap");
    madvise((void *)m, size, MADV_SEQUENTIAL);
    uint32_t magic, link;
    memcpy(&magic, m, 4);
    memcpy(&link, m + 20, 4);
    if (magic != 0xa1b2c3d4 || link != 1) {
        fprintf(stderr, "%s: not a little-endian microsecond Ethernet pcap\n", argv[2]);
        return 1;
    }

    if (mkdir(argv[3], 0777) != 0 && errno != EEXIST) die(argv[3]);
    dir_fd = open(argv[3], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd < 0) die(argv[3]);
    grow_table();

    for (size_t pos = 24; pos < size;) {
        uint32_t caplen;
        if (size - pos < 16) break; /* a cut-off last record is ignored */
        memcpy(&caplen, m + pos + 8, 4);
        if (caplen > size - pos - 16) break;
        const uint8_t *rec = m + pos;
        size_t n = 16 + (size_t)caplen;
        pos += n;
        Key s, d, k;
        memset(&s, 0, sizeof s);
        memset(&d, 0, sizeof d);
        if (!dissect(rec + 16, caplen, &s, &d)) continue;
        if (by_host) {
            s.proto = d.proto = 0;
            s.port_a = d.port_a = 0;
            append(flow_of(&s), rec, n);
            if (memcmp(&s, &d, sizeof s) != 0) append(flow_of(&d), rec, n);
        } else {
            memset(&k, 0, sizeof k);
            session_key(&s, &d, &k);
            append(flow_of(&k), rec, n);
        }
    }

    /* Flows with an open file first, so that the others do not push them
     * out only to have them reopened. */
    int32_t i = lru_head;
    for (int32_t left = nopen; left > 0; left--) {
        int32_t next = flows[i].next; /* flush() moves i to the tail */
        flush(i);
        i = next;
    }
    for (i = 0; i < nflows; i++) flush(i);
    while (nopen > 0) close_least_recent();
    for (i = 0; i < nflows; i++)
        if (renameat(dir_fd, flows[i].tmp, dir_fd, flows[i].name) != 0) die("rename");
    return 0;
}
