package fileserver;

import static org.junit.jupiter.api.Assertions.assertEquals;

import java.util.HashMap;
import java.util.Map;
import java.util.Random;
import java.util.TreeSet;
import org.junit.jupiter.api.Test;

/** The loops' deadlines, whose places lag behind parks, against a plain table of what is parked until when. */
class DueTest {
    @Test
    void overdueGivesExactlyTheParkedConnectionsPastTheirDeadline() {
        Random random = new Random(5);
        Server.Due due = new Server.Due();
        Conn[] conns = new Conn[200];
        for (int i = 0; i < conns.length; i++) conns[i] = new Conn(null) {
            int read(byte[] b, int o, int l) { return GONE; }
            long trySend(byte[] h, int ho, int hl, byte[] b, int bo, int bl) { return GONE; }
            long trySendFile(OpenFile f, long from, long length) { return GONE; }
            boolean send(byte[] h, int ho, int hl, byte[] b, int bo, int bl) { return false; }
            boolean sendFile(OpenFile f, long from, long length) { return false; }
            boolean watch() { return true; }
            void unwatch() {}
            String peer() { return "-"; }
            void shut() {}
        };
        Map<Conn, Long> parked = new HashMap<>();
        long now = Long.MAX_VALUE - 50_000; // the clock wraps during the run, as System.nanoTime may
        for (int step = 0; step < 100_000; step++) {
            Conn c = conns[random.nextInt(conns.length)];
            switch (random.nextInt(4)) {
                case 0, 1 -> { // parked until a later or an earlier time than before
                    long until = now + 1 + random.nextInt(random.nextBoolean() ? 50 : 2000);
                    due.park(c, until);
                    parked.put(c, until);
                }
                case 2 -> { // taken by a thread (reported), or closed
                    c.parked = false;
                    if (random.nextBoolean()) due.remove(c);
                    parked.remove(c);
                }
                default -> {
                    long at = now += random.nextInt(40);
                    TreeSet<Integer> expected = new TreeSet<>();
                    for (var e : parked.entrySet()) if (e.getValue() - at <= 0) expected.add(indexOf(conns, e.getKey()));
                    TreeSet<Integer> got = new TreeSet<>();
                    for (Conn o; (o = due.overdue(now)) != null; o.parked = false) got.add(indexOf(conns, o));
                    assertEquals(expected, got, "at step " + step);
                    expected.forEach(i -> parked.remove(conns[i]));
                    long soonest = parked.values().stream().mapToLong(t -> t - at).min().orElse(Long.MAX_VALUE);
                    long until = due.until(now, Long.MAX_VALUE);
                    assertEquals(true, until > 0 && until <= soonest, "wakes before the next deadline, at step " + step);
                }
            }
        }
    }

    private static int indexOf(Conn[] conns, Conn c) {
        for (int i = 0; i < conns.length; i++) if (conns[i] == c) return i;
        throw new AssertionError();
    }
}
