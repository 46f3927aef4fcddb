# bash completion for sitting-timer                       -*- shell-script -*-
# The values mirror `sitting-timer --help`; a test keeps the two the same.

_sitting_timer() {
    local cur prev words cword split
    _init_completion -s || return

    case $prev in
        --status-bar)
            COMPREPLY=($(compgen -W 'auto terminal i3bar tray xembed' -- "$cur"))
            return
            ;;
        --idle-source)
            COMPREPLY=($(compgen -W 'auto ext-idle-notify kde-idle gnome
                freedesktop-screensaver x11' -- "$cur"))
            return
            ;;
        --help | --version)
            return
            ;;
    esac
    $split && return

    COMPREPLY=($(compgen -W '--status-bar= --idle-source= --verbose --help --version' \
        -- "$cur"))
    [[ ${COMPREPLY-} == *= ]] && compopt -o nospace
} &&
    complete -F _sitting_timer sitting-timer

# ex: filetype=sh
