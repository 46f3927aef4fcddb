# fish completion for sitting-timer. The values mirror `sitting-timer --help`; a test keeps the
# two the same.

complete -c sitting-timer -f

complete -c sitting-timer -l status-bar -x -d 'Where to draw the item' -a '
    auto\t"The first that works here (the default)"
    terminal\t"One line in the terminal on standard output"
    i3bar\t"The i3bar protocol on standard output (i3bar, swaybar)"
    tray\t"The desktop\'s tray: StatusNotifierItem, else XEmbed"
    xembed\t"An XEmbed tray only (tint2, i3bar, stalonetray)"'

complete -c sitting-timer -l idle-source -x -d 'Where to read the idle time from' -a '
    auto\t"The first that works here (the default)"
    ext-idle-notify\t"Wayland ext_idle_notifier_v1 (KWin, sway 1.8 and later)"
    kde-idle\t"Wayland org_kde_kwin_idle (sway 1.7, older KWin)"
    gnome\t"GNOME\'s org.gnome.Mutter.IdleMonitor on the session bus"
    freedesktop-screensaver\t"org.freedesktop.ScreenSaver on the session bus (KDE on X11)"
    x11\t"The X server\'s MIT-SCREEN-SAVER extension"'

complete -c sitting-timer -l verbose -d 'Say on standard error which bar and idle source were chosen'
complete -c sitting-timer -l help -d 'Show the options and their values'
complete -c sitting-timer -l version -d 'Show the version'
