package fileserver;

import static org.junit.jupiter.api.Assertions.assertEquals;

import java.time.Instant;
import java.time.ZoneOffset;
import java.time.ZonedDateTime;
import java.time.format.DateTimeFormatter;
import java.util.List;
import java.util.Locale;
import java.util.Random;
import java.util.stream.LongStream;
import org.junit.jupiter.api.Test;

/** The date forms of the answers, the listing and the conditional requests, against the calendar. */
class HttpDateTest {
    @Test
    void datesMatchTheCalendarBothWaysInEveryForm() {
        DateTimeFormatter imf = DateTimeFormatter.ofPattern("EEE, dd MMM yyyy HH:mm:ss 'GMT'", Locale.US);
        DateTimeFormatter rfc850 = DateTimeFormatter.ofPattern("EEEE, dd-MMM-yy HH:mm:ss 'GMT'", Locale.US);
        DateTimeFormatter asctime = DateTimeFormatter.ofPattern("EEE MMM ppd HH:mm:ss yyyy", Locale.US);
        DateTimeFormatter listing = DateTimeFormatter.ofPattern("yyyy-MM-dd HH:mm", Locale.US);
        Random random = new Random(11);
        long[] edges = {0L, -1L, 951782400L, 951868800L, 4107542400L, 253402300799L};
        for (long t : LongStream.concat(LongStream.of(edges), random.longs(2000).map(x -> x % 20_000_000_000L)).toArray()) {
            ZonedDateTime when = ZonedDateTime.ofInstant(Instant.ofEpochSecond(t), ZoneOffset.UTC);
            assertEquals(imf.format(when), HttpDate.format(t), "at " + t);
            assertEquals(listing.format(when), HttpDate.formatShort(t), "at " + t);
            if (when.getYear() < 1000 || when.getYear() > 9999) continue;
            assertEquals(List.of(t, t, t), List.of(HttpDate.parse(HttpDate.format(t)), HttpDate.parse(asctime.format(when)),
                HttpDate.parse(rfc850.format(when), t)), "at " + t);
        }
        // A two-digit year is the one from 49 years before the present (2026-12-06 here) to 50 after it.
        assertEquals(220924800L, HttpDate.parse("Saturday, 01-Jan-77 00:00:00 GMT", 1796539352L));
        assertEquals(3345062400L, HttpDate.parse("Wednesday, 01-Jan-76 00:00:00 GMT", 1796539352L));
        for (String bad : new String[] {"", "Sun, 6 Nov 1994 08:49:37 GMT", "Mon, 06 Nov 1994 08:49:37 GMT", "sun, 06 Nov 1994 08:49:37 GMT",
                "Sun, 06 Nov 1994 08:49:37 UTC", "Sun, 06 Nov 1994 24:00:00 GMT", "Tue, 29 Feb 2022 08:49:37 GMT", "Sun, 06 nov 1994 08:49:37 GMT",
                "Sunday, 06 Nov 1994 08:49:37 GMT", "Sun, 06-Nov-94 08:49:37 GMT", "Sun Nov 6 08:49:37 1994", "Sun Nov  6 08:49:37 1994 ",
                " Sun, 06 Nov 1994 08:49:37 GMT", "Sun, 06 Nov +994 08:49:37 GMT", "Sun, ０6 Nov 1994 08:49:37 GMT"}) {
            assertEquals(HttpDate.NONE, HttpDate.parse(bad), bad); // ignored, never a time that a file may have
        }
        assertEquals(List.of(-1L, -1L, 0L), List.of(HttpDate.seconds(-500), HttpDate.seconds(-1000), HttpDate.seconds(999))); // floored
    }
}
