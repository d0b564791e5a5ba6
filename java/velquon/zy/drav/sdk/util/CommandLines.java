package velquon.zy.drav.sdk.util;

import java.util.List;

/**
 * Turns an argument list into one command line that the Windows C runtime, and the library's
 * own splitter on Linux, read back as exactly that list.
 */
final class CommandLines {
    private CommandLines() {}

    /**
     * Quotes {@code command} as one command line: the program name first, then each argument
     * after one space.
     *
     * @throws NullPointerException if the list or one of its elements is null
     * @throws IllegalArgumentException if the list is empty, an element holds U+0000 (the system
     *     would see only the part before it), or the program name holds a double quote (the
     *     program name's rules have no way to write one)
     */
    static String quote(List<String> command) {
        if (command == null) {
            throw new NullPointerException("command is null");
        }
        if (command.isEmpty()) {
            throw new IllegalArgumentException("command is empty: it needs at least the program");
        }
        StringBuilder line = new StringBuilder();
        int index = 0;
        for (String element : command) {
            if (element == null) {
                throw new NullPointerException("command element " + index + " is null");
            }
            if (element.indexOf('\0') >= 0) {
                throw new IllegalArgumentException(
                        "command element " + index + " holds a NUL character (U+0000)");
            }
            if (index == 0) {
                appendProgramName(line, element);
            } else {
                line.append(' ');
                appendArgument(line, element);
            }
            index++;
        }
        return line.toString();
    }

    // The program name's quotes only group and its backslashes are plain, so quoting it is enough.
    private static void appendProgramName(StringBuilder line, String program) {
        if (program.indexOf('"') >= 0) {
            throw new IllegalArgumentException(
                    "the program name holds a double quote, which no command line can pass: "
                            + program);
        }
        if (!program.isEmpty() && !hasWhiteSpace(program)) {
            line.append(program);
        } else {
            line.append('"').append(program).append('"');
        }
    }

    // Backslashes are plain unless a quote follows them: then each one, and the quote, is escaped.
    // The closing quote counts too, so a trailing run is doubled.
    private static void appendArgument(StringBuilder line, String argument) {
        if (!argument.isEmpty() && !hasWhiteSpace(argument) && argument.indexOf('"') < 0) {
            line.append(argument);
            return;
        }
        line.append('"');
        int backslashes = 0;
        for (int i = 0; i < argument.length(); i++) {
            char c = argument.charAt(i);
            if (c == '\\') {
                backslashes++;
                continue;
            }
            if (c == '"') {
                appendBackslashes(line, 2 * backslashes + 1);
            } else {
                appendBackslashes(line, backslashes);
            }
            backslashes = 0;
            line.append(c);
        }
        appendBackslashes(line, 2 * backslashes);
        line.append('"');
    }

    private static void appendBackslashes(StringBuilder line, int count) {
        for (int i = 0; i < count; i++) {
            line.append('\\');
        }
    }

    // Only space and tab separate elements, in the C runtime and in the library's splitter.
    private static boolean hasWhiteSpace(String s) {
        return s.indexOf(' ') >= 0 || s.indexOf('\t') >= 0;
    }
}
