package fileserver;

import static org.junit.jupiter.api.Assertions.assertEquals;

import java.time.Instant;
import java.time.ZoneOffset;
import java.time.ZonedDateTime;
import java.time.format.DateTimeFormatter;
import java.util.Locale;
import java.util.Random;
import java.util.stream.LongStream;
import org.junit.jupiter.api.Test;

/** The date forms of the answers and the listing, against the calendar. */
class HttpDateTest {
    @Test
    void datesMatchTheCalendarBothWays() {
        DateTimeFormatter imf = DateTimeFormatter.ofPattern("EEE, dd MMM yyyy HH:mm:ss 'GMT'", Locale.US);
        DateTimeFormatter listing = DateTimeFormatter.ofPattern("yyyy-MM-dd HH:mm", Locale.US);
        Random random = new Random(11);
        long[] edges = {0L, -1L, 951782400L, 951868800L, 4107542400L, 253402300799L};
        for (long t : LongStream.concat(LongStream.of(edges), random.longs(2000).map(x -> x % 20_000_000_000L)).toArray()) {
            ZonedDateTime when = ZonedDateTime.ofInstant(Instant.ofEpochSecond(t), ZoneOffset.UTC);
            assertEquals(imf.format(when), HttpDate.format(t), "at " + t);
            assertEquals(listing.format(when), HttpDate.formatShort(t), "at " + t);
            if (when.getYear() >= 1000 && when.getYear() <= 9999) assertEquals(t, HttpDate.parse(HttpDate.format(t)));
        }
        assertEquals(-1, HttpDate.parse("Sunday, 06-Nov-94 08:49:37 GMT")); // not the one form we take
        assertEquals(-1, HttpDate.parse(""));
    }
}
