package fileserver;

import java.time.format.DateTimeFormatter;
import java.time.format.DateTimeParseException;
import java.time.ZonedDateTime;

/** HTTP dates (IMF-fixdate) to and from seconds since the epoch. */
final class HttpDate {
    private static final String[] DAYS = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    private static final String[] MONTHS =
        {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

    private HttpDate() {}

    /** "Sun, 06 Dec 2026 07:22:32 GMT". */
    static String format(long seconds) {
        long days = Math.floorDiv(seconds, 86400L);
        int secs = (int) Math.floorMod(seconds, 86400L);
        long[] ymd = civil(days);
        StringBuilder b = new StringBuilder(29);
        b.append(DAYS[(int) Math.floorMod(days + 4, 7L)]).append(", ");
        two(b, (int) ymd[2]).append(' ').append(MONTHS[(int) ymd[1] - 1]).append(' ').append(ymd[0]).append(' ');
        two(b, secs / 3600).append(':');
        two(b, secs / 60 % 60).append(':');
        two(b, secs % 60).append(" GMT");
        return b.toString();
    }

    /** "2026-12-06 07:22", for the listing. */
    static String formatShort(long seconds) {
        long days = Math.floorDiv(seconds, 86400L);
        int secs = (int) Math.floorMod(seconds, 86400L);
        long[] ymd = civil(days);
        StringBuilder b = new StringBuilder(16).append(ymd[0]).append('-');
        two(b, (int) ymd[1]).append('-');
        two(b, (int) ymd[2]).append(' ');
        two(b, secs / 3600).append(':');
        return two(b, secs / 60 % 60).toString();
    }

    /** Seconds since the epoch, or -1 when the text is not an HTTP date. */
    static long parse(String text) {
        try {
            return ZonedDateTime.parse(text.trim(), DateTimeFormatter.RFC_1123_DATE_TIME).toEpochSecond();
        } catch (DateTimeParseException e) {
            return -1;
        }
    }

    private static StringBuilder two(StringBuilder b, int v) {
        return b.append((char) ('0' + v / 10)).append((char) ('0' + v % 10));
    }

    /** Year, month (1-12) and day of a day count from 1970-01-01 (proleptic Gregorian). */
    private static long[] civil(long days) {
        long z = days + 719468;
        long era = Math.floorDiv(z, 146097L);
        long doe = z - era * 146097;
        long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
        long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
        long mp = (5 * doy + 2) / 153;
        long d = doy - (153 * mp + 2) / 5 + 1;
        long m = mp < 10 ? mp + 3 : mp - 9;
        return new long[] {yoe + era * 400 + (m <= 2 ? 1 : 0), m, d};
    }
}
