// msgbox
