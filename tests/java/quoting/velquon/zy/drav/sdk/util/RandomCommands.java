package velquon.zy.drav.sdk.util;

import java.io.IOException;
import java.io.Writer;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.List;
import java.util.Random;

/**
 * Seeded random argument lists over the characters the quoting rules care about, so that a
 * failure repeats. Run as a program, it writes a corpus of lists and their quoted lines for the
 * Windows C runtime to read back.
 */
public final class RandomCommands {
    // Runs of backslashes come both alone and before a quote; line feed and vertical tab are
    // plain characters to the C runtime, unlike space and tab.
    private static final String[] PIECES = {
        "a", "a", " ", "\t", "\"", "\\", "\\\\", "\\\\\\\"", "\\\"", "\u00e9", "\ud83d\ude00",
        "\n", "\u000b",
    };

    // Program names as the Windows side may pass them: argv_probe is started by its path, so the
    // name is only text. None ends in a backslash: Wine's C runtime reads `"dir\"` as an escaped
    // quote, where Windows' reads a path.
    private static final String[] WINDOWS_PROGRAMS = {
        "argv_probe", "C:\\some dir\\x.exe", "", "prog \u00e9", "C:\\Programm\u00e9\\\ud83d\ude00.exe",
        "\\\\server\\share\\app.exe", "tab\there", " lead", "trail ", "a\\b c\\d",
    };

    private final Random random;

    public RandomCommands(long seed) {
        random = new Random(seed);
    }

    /** The program, then 0 to 6 arguments; one argument in six is empty. */
    public List<String> next(String program) {
        List<String> command = new ArrayList<>();
        command.add(program);
        int arguments = random.nextInt(7);
        for (int i = 0; i < arguments; ++i) {
            StringBuilder argument = new StringBuilder();
            if (random.nextInt(6) != 0) {
                for (int length = 1 + random.nextInt(8); length > 0; --length) {
                    argument.append(PIECES[random.nextInt(PIECES.length)]);
                }
            }
            command.add(argument.toString());
        }
        return command;
    }

    public List<String> nextForWindows() {
        return next(WINDOWS_PROGRAMS[random.nextInt(WINDOWS_PROGRAMS.length)]);
    }

    /** A list and its line as a failure shows them. */
    public static String describe(List<String> command, String line) {
        return "list " + show(command) + " quoted as <" + visible(line) + ">";
    }

    /** Each element in angle brackets, with its control characters visible. */
    public static String show(List<String> command) {
        StringBuilder text = new StringBuilder("[");
        for (int i = 0; i < command.size(); ++i) {
            text.append(i == 0 ? "<" : ", <").append(visible(command.get(i))).append('>');
        }
        return text.append(']').toString();
    }

    private static String visible(String s) {
        return s.replace("\t", "\\t").replace("\n", "\\n").replace("\u000b", "\\v");
    }

    /**
     * Writes {@code <file> <count> <seed>}: one case a line, the quoted line first and then each
     * element, as space-separated fields of {@code x} and the UTF-8 bytes in hex.
     */
    public static void main(String[] args) throws IOException {
        if (args.length != 3) {
            throw new IllegalArgumentException("usage: RandomCommands <file> <count> <seed>");
        }
        Path file = Paths.get(args[0]);
        int count = Integer.parseInt(args[1]);
        RandomCommands commands = new RandomCommands(Long.parseLong(args[2]));
        try (Writer out = Files.newBufferedWriter(file, StandardCharsets.US_ASCII)) {
            for (int i = 0; i < count; ++i) {
                List<String> command = commands.nextForWindows();
                out.write(hex(CommandLines.quote(command)));
                for (String element : command) out.write(" " + hex(element));
                out.write('\n');
            }
        }
    }

    private static String hex(String s) {
        StringBuilder field = new StringBuilder("x");
        for (byte b : s.getBytes(StandardCharsets.UTF_8)) field.append(String.format("%02x", b));
        return field.toString();
    }
}
