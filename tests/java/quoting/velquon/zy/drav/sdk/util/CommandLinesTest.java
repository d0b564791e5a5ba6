package velquon.zy.drav.sdk.util;

import static org.junit.Assert.assertEquals;
import static org.junit.Assert.assertTrue;
import static org.junit.Assert.fail;

import java.util.Arrays;
import java.util.Collections;
import java.util.List;
import org.junit.Test;

/** What the quoting writes, and the lists it refuses before anything could start. */
public class CommandLinesTest {
    @Test
    public void quotesOnlyWhatNeedsIt() {
        String[][] rows = {
            {"p a\\b \u00e9\n", "p", "a\\b", "\u00e9\n"},
            {"\"\" \"\"", "", ""},
            {"\"C:\\my dir\\\" \"a b\"", "C:\\my dir\\", "a b"},
            {"p \"a\\\\\\\"b\" \"a b\\\\\" \"\\\\\\\\\\\"\"", "p", "a\\\"b", "a b\\", "\\\\\""},
            {"p \"a\tb\" \"x\\y z\"", "p", "a\tb", "x\\y z"},
        };
        for (String[] row : rows) {
            List<String> command = Arrays.asList(row).subList(1, row.length);
            assertEquals(command.toString(), row[0], CommandLines.quote(command));
        }
    }

    @Test
    public void refusesWhatNoCommandLineCanCarry() {
        assertRefused(IllegalArgumentException.class, "empty", Collections.emptyList());
        assertRefused(IllegalArgumentException.class, "element 2 holds a NUL",
                      Arrays.asList("p", "a", "b\0"));
        assertRefused(IllegalArgumentException.class, "element 0 holds a NUL",
                      Arrays.asList("p\0"));
        assertRefused(IllegalArgumentException.class, "program name holds a double quote",
                      Arrays.asList("a\"b", "c"));
        assertRefused(NullPointerException.class, "command is null", null);
        assertRefused(NullPointerException.class, "element 1 is null", Arrays.asList("p", null));
    }

    private static void assertRefused(Class<? extends RuntimeException> expected, String message,
                                      List<String> command) {
        try {
            fail(command + " quoted as " + CommandLines.quote(command));
        } catch (RuntimeException e) {
            assertEquals(command + ": " + e, expected, e.getClass());
            assertTrue(e.getMessage(), e.getMessage().contains(message));
        }
    }
}
