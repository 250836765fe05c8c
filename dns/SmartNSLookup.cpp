// DNS lookup component.
