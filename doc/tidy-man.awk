# Filters scdoc's output for mandoc -T lint: a paragraph macro (.P) right
# after a heading, right before one, next to another, or at the end does
# nothing and is dropped; one that closes an indented block moves after its
# .RE, where it still separates the blocks.
function is_heading(line) {
    return line ~ /^\.(TH|SH|SS)( |$)/
}

$0 == ".P" {
    if (!after_heading) {
        pending = 1
    }
    next
}

pending && /^\.RE( |$)/ {
    print
    next
}

{
    if (pending && !is_heading($0)) {
        print ".P"
    }
    pending = 0
    print
    after_heading = is_heading($0)
}
