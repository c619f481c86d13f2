package fileserver;

import java.util.List;
import java.util.Locale;

/** HTTP dates to and from whole seconds since the epoch, floored as the kernel's file times are. */
final class HttpDate {
    /** What {@link #parse} gives for a text that is no HTTP date: no file time equals it or comes before it. */
    static final long NONE = Long.MIN_VALUE;

    private static final List<String> DAYS = List.of("Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat");
    private static final List<String> LONG_DAYS =
        List.of("Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday");
    private static final List<String> MONTHS =
        List.of("Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec");
    /**
     * What follows the day's name in each form: digits of the day (D: a space or a digit), the year
     * and the time where d, y, h, i, s stand; the month's name at mmm; any other character as it is.
     */
    private static final String IMF_FIXDATE = ", dd mmm yyyy hh:ii:ss GMT", RFC_850 = ", dd-mmm-yy hh:ii:ss GMT",
        ASCTIME = " mmm Dd hh:ii:ss yyyy";

    private HttpDate() {}

    /** "Sun, 06 Dec 2026 07:22:32 GMT". */
    static String format(long seconds) {
        long days = Math.floorDiv(seconds, 86400L);
        int secs = (int) Math.floorMod(seconds, 86400L);
        long[] ymd = civil(days);
        return String.format(Locale.ROOT, "%s, %02d %s %d %02d:%02d:%02d GMT", DAYS.get((int) Math.floorMod(days + 4, 7L)),
            ymd[2], MONTHS.get((int) ymd[1] - 1), ymd[0], secs / 3600, secs / 60 % 60, secs % 60);
    }

    /** "2026-12-06 07:22", for the listing. */
    static String formatShort(long seconds) {
        long[] ymd = civil(Math.floorDiv(seconds, 86400L));
        int secs = (int) Math.floorMod(seconds, 86400L);
        return String.format(Locale.ROOT, "%d-%02d-%02d %02d:%02d", ymd[0], ymd[1], ymd[2], secs / 3600, secs / 60 % 60);
    }

    /** Whole seconds of a time in milliseconds, floored: half a second before the epoch is -1, as in st_mtime. */
    static long seconds(long millis) {
        return Math.floorDiv(millis, 1000L);
    }

    /** {@link #parse(String, long)} at the present time. */
    static long parse(String text) {
        return parse(text, seconds(System.currentTimeMillis()));
    }

    /**
     * Seconds since the epoch of an IMF-fixdate ("Sun, 06 Nov 1994 08:49:37 GMT"), an RFC 850 date
     * ("Sunday, 06-Nov-94 08:49:37 GMT", its year taken within 50 years of {@code now}) or an asctime
     * date ("Sun Nov  6 08:49:37 1994"), exactly as written, a true day's name included; else NONE.
     */
    static long parse(String text, long now) {
        int cut = 0;
        while (cut < text.length() && Character.isLetter(text.charAt(cut))) cut++;
        String rest = text.substring(cut);
        String form = cut > 3 ? RFC_850 : rest.startsWith(",") ? IMF_FIXDATE : ASCTIME;
        int weekday = (cut == 3 ? DAYS : LONG_DAYS).indexOf(text.substring(0, cut));
        if (weekday < 0 || rest.length() != form.length()) return NONE;
        int[] field = new int[5]; // day, year, hours, minutes, seconds
        for (int i = 0; i < form.length(); i++) {
            char want = form.charAt(i), c = rest.charAt(i);
            int k = "dyhis".indexOf(want == 'D' ? 'd' : want);
            if (want == 'm' || (want == 'D' && c == ' ')) continue;
            if (k < 0 ? c != want : c < '0' || c > '9') return NONE;
            if (k >= 0) field[k] = field[k] * 10 + c - '0';
        }
        int at = form.indexOf('m');
        long month = MONTHS.indexOf(rest.substring(at, at + 3)) + 1;
        long year = field[1];
        if (form == RFC_850) { // the year with these last two digits from 49 years back to 50 ahead
            long from = civil(Math.floorDiv(now, 86400L))[0] - 49;
            year = from + Math.floorMod(year - from, 100L);
        }
        long days = days(year, month, field[0]);
        long[] back = civil(days);
        if (month == 0 || back[1] != month || back[2] != field[0] || Math.floorMod(days + 4, 7L) != weekday
                || field[2] > 23 || field[3] > 59 || field[4] > 60) { // 60: a leap second
            return NONE;
        }
        return days * 86400 + field[2] * 3600L + field[3] * 60L + field[4];
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

    /** Days from 1970-01-01 to a date (month 1-12, a day past the month's end runs into the next). */
    private static long days(long year, long month, long day) {
        long y = month <= 2 ? year - 1 : year;
        long era = Math.floorDiv(y, 400L);
        long yoe = y - era * 400;
        long doy = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
        return era * 146097 + yoe * 365 + yoe / 4 - yoe / 100 + doy - 719468;
    }
}
